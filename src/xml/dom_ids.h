// Class and interface identifiers of the MSXML 6.0 DOM that the system headers lack.
#pragma once

#include <windows.h>

namespace QGCE_XML {

// DOMDocument60 {88D96A05-F192-11D4-A65F-0040963251E5}
extern const CLSID CLSID_DOMDocument60;
// IXMLDOMDocument2 {2933BF95-7B36-11D2-B20E-00C04F983E60}
extern const IID IID_IXMLDOMDocument2;

} // namespace QGCE_XML
