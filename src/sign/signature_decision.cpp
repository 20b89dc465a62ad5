// What the checks behind one signature verdict decided.
#include "sign/signature_decision.h"

#include <new>

namespace {

thread_local CSignatureDecisionScope* t_pScope = nullptr;

} // namespace

CSignatureDecisionScope::CSignatureDecisionScope() : m_pOuter(t_pScope)
{
    t_pScope = this;
}

CSignatureDecisionScope::~CSignatureDecisionScope()
{
    t_pScope = m_pOuter;
}

void CSignatureDecisionScope::Record(SignatureCheck check, bool bAccepted, DWORD dwCode)
{
    try {
        m_decision.steps.push_back(SignatureCheckStep{check, bAccepted, bAccepted ? 0 : dwCode});
    } catch (const std::bad_alloc&) {
        // The explanation loses a step; the verdict is not affected.
    }
}

SignatureCheck SignatureDecision::DecidedBy() const
{
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
        if (it->bAccepted) {
            return it->check;
        }
    }
    return SignatureCheck::None;
}

const SignatureCheckStep* SignatureDecision::FirstRefusal() const
{
    for (const SignatureCheckStep& step : steps) {
        if (!step.bAccepted) {
            return &step;
        }
    }
    return nullptr;
}

void RecordSignatureCheck(SignatureCheck check, bool bAccepted, DWORD dwCode)
{
    if (t_pScope != nullptr) {
        t_pScope->Record(check, bAccepted, dwCode);
    }
}

const wchar_t* SignatureCheckName(SignatureCheck check)
{
    switch (check) {
    case SignatureCheck::Embedded:
        return L"embedded signature";
    case SignatureCheck::KeyList:
        return L"certificate information with the key list";
    case SignatureCheck::Certificate:
        return L"certificate information with the chain";
    case SignatureCheck::Catalog:
        return L"system catalog";
    case SignatureCheck::None:
        break;
    }
    return L"none";
}
