// ProductSetup.exe: sets up the product as its installer and plug-in manager leave it,
// for the sandbox (the tests and benchmarks use the same description in-process).
//
//   ProductSetup.exe fresh FOLDER                 Local_Path = FOLDER, no component key;
//                                                 shows the value
//   ProductSetup.exe list FOLDER ID=VERSION...    writes the component list into FOLDER
//                                                 and shows its components
//   ProductSetup.exe forget ID [VERSION]          removes the component's key (or one version's)
//   ProductSetup.exe installed ID VERSION DIR     the component installed, library in DIR
//   ProductSetup.exe check ID VERSION             exit code 0 when it is installed, else 1
//   ProductSetup.exe show ID VERSION              shows the component's values
//   ProductSetup.exe where                        shows the key of the components
//   ProductSetup.exe trust-root CERT              adds the certificate (PEM or DER) to the
//                                                 machine's Root store: for a test root in a
//                                                 prefix of its own only
//
// Components are in the default language. Exit code 0, 1 when a step fails or a
// check does not hold, 2 for a bad command line.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "console.h"
#include "product_setup.h"

namespace product = standin::product;

namespace {

void Show(const std::wstring& line)
{
    printf("%s\n", standin::ToUtf8(line).c_str());
}

int Usage()
{
    fprintf(stderr, "usage: ProductSetup.exe fresh FOLDER | list FOLDER ID=VERSION... | forget ID [VERSION] |\n"
                    "       installed ID VERSION DIR | check ID VERSION | show ID VERSION | where |\n"
                    "       trust-root CERT\n");
    return 2;
}

// The certificate file's DER bytes (a PEM file is decoded); empty when unreadable.
std::vector<BYTE> CertificateBytes(const wchar_t* pwszFile)
{
    std::vector<BYTE> file;
    FILE* pFile = _wfopen(pwszFile, L"rb");
    if (pFile == nullptr) {
        return file;
    }
    BYTE buffer[4096];
    for (size_t cb; (cb = fread(buffer, 1, sizeof(buffer), pFile)) > 0;) {
        file.insert(file.end(), buffer, buffer + cb);
    }
    fclose(pFile);
    DWORD cbDer = 0;
    if (!::CryptStringToBinaryA(reinterpret_cast<const char*>(file.data()), static_cast<DWORD>(file.size()),
                                CRYPT_STRING_BASE64HEADER, nullptr, &cbDer, nullptr, nullptr)) {
        return file; // DER already
    }
    std::vector<BYTE> der(cbDer);
    ::CryptStringToBinaryA(reinterpret_cast<const char*>(file.data()), static_cast<DWORD>(file.size()),
                           CRYPT_STRING_BASE64HEADER, der.data(), &cbDer, nullptr, nullptr);
    der.resize(cbDer);
    return der;
}

int TrustRoot(const wchar_t* pwszFile)
{
    const std::vector<BYTE> der = CertificateBytes(pwszFile);
    HCERTSTORE hRoot = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    const bool bAdded = hRoot != nullptr && !der.empty() &&
                        ::CertAddEncodedCertificateToStore(hRoot, X509_ASN_ENCODING, der.data(),
                                                           static_cast<DWORD>(der.size()),
                                                           CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (hRoot != nullptr) {
        ::CertCloseStore(hRoot, 0);
    }
    Show(bAdded ? std::wstring(L"trusted root (machine Root store): ") + pwszFile
                : std::wstring(L"could not trust ") + pwszFile);
    return bAdded ? 0 : 1;
}

void ShowComponent(const product::Component& component)
{
    const std::wstring key = product::ComponentKey(component.id, component.version);
    const std::wstring kivKey = product::kKivKey;
    const std::wstring shown = key.substr(kivKey.rfind(L'\\') + 1);
    const std::wstring status = product::GetString(key, product::kStatusValue);
    const std::wstring library = product::GetString(key, product::kLibraryValue);
    if (status.empty() && library.empty()) {
        Show(L"registry: no value under " + shown);
        return;
    }
    Show(L"registry " + shown + L":");
    Show(std::wstring(L"    ") + product::kStatusValue + L" = " + (status.empty() ? L"(none)" : status));
    if (!library.empty()) {
        const bool there = ::GetFileAttributesW(library.c_str()) != INVALID_FILE_ATTRIBUTES;
        Show(std::wstring(L"    ") + product::kLibraryValue + L" = " + library +
             (there ? L" (file present)" : L" (file missing)"));
    }
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    const product::Component component{argc > 2 ? argv[2] : L"", argc > 3 ? argv[3] : L""};
    if (command == L"fresh" && argc == 3) {
        product::DeleteTree(product::kKivKey);
        if (product::SetString(product::kInformationKey, product::kLocalPathValue, argv[2]) != ERROR_SUCCESS) {
            return 1;
        }
        Show(std::wstring(L"HKLM\\") + product::kInformationKey);
        Show(std::wstring(L"    ") + product::kLocalPathValue + L" = " +
             product::GetString(product::kInformationKey, product::kLocalPathValue));
        return 0;
    }
    if (command == L"list" && argc >= 3) {
        std::wstring folder = argv[2];
        while (!folder.empty() && folder.back() == L'\\') {
            folder.pop_back();
        }
        std::vector<product::Component> components;
        for (int i = 3; i < argc; ++i) {
            const std::wstring item = argv[i];
            const size_t eq = item.find(L'=');
            if (eq == std::wstring::npos) {
                return Usage();
            }
            components.push_back({item.substr(0, eq), item.substr(eq + 1)});
        }
        if (!product::WriteComponentList(folder, components)) {
            return 1;
        }
        Show(folder + L"\\" + product::kComponentListFile + L":");
        const std::string xml = product::ComponentListXml(components);
        for (size_t start = xml.find("<Component "); start != std::string::npos; start = xml.find("<Component ", start)) {
            const size_t end = xml.find("\r\n", start);
            printf("    %s\n", xml.substr(start, end - start).c_str());
            start = end;
        }
        return 0;
    }
    if (command == L"forget" && (argc == 3 || argc == 4)) {
        product::DeleteTree(argc == 3 ? product::ComponentRoot(component.id)
                                      : product::ComponentKey(component.id, component.version));
        return 0;
    }
    if (command == L"installed" && argc == 5) {
        return product::MarkInstalled(argv[4], component) ? 0 : 1;
    }
    if (command == L"check" && argc == 4) {
        return product::IsInstalled(component) ? 0 : 1;
    }
    if (command == L"show" && argc == 4) {
        ShowComponent(component);
        return 0;
    }
    if (command == L"trust-root" && argc == 3) {
        return TrustRoot(argv[2]);
    }
    if (command == L"where" && argc == 2) {
        Show(std::wstring(L"HKLM\\") + product::kKivKey);
        return 0;
    }
    return Usage();
}
