// What the checks behind one signature verdict decided, for the people who ask
// why a library was or was not loaded. The checks record into it only on a
// thread that holds a CSignatureDecisionScope; elsewhere recording costs a test.
#pragma once

#include <windows.h>

#include <vector>

enum class SignatureCheck {
    None,
    Embedded,    // the embedded signature through the trust provider
    KeyList,     // certificate information against the key list (the maker's trusted keys)
    Certificate, // certificate information: chain, Authenticode policies and signer name
    Catalog,     // a system catalog that lists the file
};

struct SignatureCheckStep {
    SignatureCheck check;
    bool bAccepted;
    DWORD dwCode; // 0 when accepted; the check's refusal code otherwise
};

struct SignatureDecision {
    std::vector<SignatureCheckStep> steps; // every check that ran, in order

    // The check whose acceptance stands (the last that accepted); None when none did.
    SignatureCheck DecidedBy() const;
    // The first check that refused; null when none did.
    const SignatureCheckStep* FirstRefusal() const;
};

// Collects what the checks on this thread decide while it is alive.
class CSignatureDecisionScope {
public:
    CSignatureDecisionScope();
    ~CSignatureDecisionScope();
    CSignatureDecisionScope(const CSignatureDecisionScope&) = delete;
    CSignatureDecisionScope& operator=(const CSignatureDecisionScope&) = delete;

    const SignatureDecision& Decision() const { return m_decision; }
    void Record(SignatureCheck check, bool bAccepted, DWORD dwCode);

private:
    SignatureDecision m_decision;
    CSignatureDecisionScope* m_pOuter;
};

// Called by the checks; does nothing without a scope on the thread.
void RecordSignatureCheck(SignatureCheck check, bool bAccepted, DWORD dwCode);

// "embedded signature", "certificate information with the key list", ...
const wchar_t* SignatureCheckName(SignatureCheck check);
