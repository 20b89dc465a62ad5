// Turning DOM objects returned by a call into new wrappers owned by the caller.
#pragma once

#include "xml/xml_node.h"

namespace QGCE_XML {
namespace detail {

// Each returns null when `p` is null; otherwise a new wrapper with a reference
// of its own (the caller's temporary reference is left to the caller).
CXMLNode* WrapNode(IXMLDOMNode* p);
CXMLElement* WrapElement(IXMLDOMElement* p);
CXMLNodeList* WrapNodeList(IXMLDOMNodeList* p);

// The node as a new element wrapper; null when `p` is null or the object is
// not an element (E_NOINTERFACE). Any other failure raises a COM error.
CXMLElement* ElementFromNode(IXMLDOMNode* p);

} // namespace detail
} // namespace QGCE_XML
