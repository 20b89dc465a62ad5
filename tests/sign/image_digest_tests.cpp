// Image digest and signed digest: files signed at build time, signatures
// copied onto other files, and hostile mutations of a signed image.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "guarded_buffer.h"
#include "sign/crypt_owners.h"
#include "sign/image_digest.h"
#include "sign/trust_provider.h"
#include "sign_test_support.h"
#include "test_support.h"

using sign_testing::SignData;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

const char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";
const wchar_t kMaker[] = L"Brontide, Inc.";

UTIL::UniqueHandle OpenRead(const std::wstring& path)
{
    return UTIL::UniqueHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::vector<BYTE> FileDigest(const std::wstring& path, ALG_ID algId)
{
    UTIL::UniqueHandle hFile = OpenRead(path);
    std::vector<BYTE> digest;
    EXPECT_TRUE(hFile.IsValid() && ComputeImageDigest(hFile.Get(), algId, digest)) << ::GetLastError();
    return digest;
}

bool SignedMatches(HCRYPTMSG hMsg, const std::wstring& path)
{
    CImageDigests image(path.c_str());
    return image.IsOpen() && image.SignedBy(hMsg);
}

// A signature message with its certificates.
struct Signature {
    UTIL::UniqueCertStore hStore;
    UTIL::UniqueCryptMsg hMsg;
};

// The primary signature embedded in a file; none for an unsigned one.
Signature FileSignature(const std::wstring& path)
{
    Signature signature;
    ::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                       CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, signature.hStore.Put(),
                       signature.hMsg.Put(), nullptr);
    return signature;
}

// The first nested signature among the signer's unauthenticated attributes.
Signature NestedSignature(HCRYPTMSG hMsg)
{
    Signature nested;
    DWORD cb = 0;
    if (!::CryptMsgGetParam(hMsg, CMSG_SIGNER_UNAUTH_ATTR_PARAM, 0, nullptr, &cb)) {
        return nested;
    }
    std::vector<BYTE> buffer(cb);
    ::CryptMsgGetParam(hMsg, CMSG_SIGNER_UNAUTH_ATTR_PARAM, 0, buffer.data(), &cb);
    const auto& attrs = *reinterpret_cast<const CRYPT_ATTRIBUTES*>(buffer.data());
    for (DWORD i = 0; i < attrs.cAttr; ++i) {
        if (std::strcmp(attrs.rgAttr[i].pszObjId, kNestedSignatureOid) == 0 && attrs.rgAttr[i].cValue > 0) {
            const CRYPT_ATTR_BLOB& value = attrs.rgAttr[i].rgValue[0];
            ::CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &value, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                               CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, nested.hStore.Put(),
                               nested.hMsg.Put(), nullptr);
            break;
        }
    }
    return nested;
}

// The signer's certificate, checked to have signed the message.
UTIL::UniqueCertContext SignerCertificate(const Signature& signature)
{
    DWORD cb = 0;
    if (!::CryptMsgGetParam(signature.hMsg.Get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &cb)) {
        return {};
    }
    std::vector<BYTE> certInfo(cb);
    ::CryptMsgGetParam(signature.hMsg.Get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, certInfo.data(), &cb);
    UTIL::UniqueCertContext pCert(::CertFindCertificateInStore(signature.hStore.Get(),
                                                               X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                               CERT_FIND_SUBJECT_CERT, certInfo.data(), nullptr));
    if (!pCert || !::CryptMsgControl(signature.hMsg.Get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, pCert.Get()->pCertInfo)) {
        return {};
    }
    return pCert;
}

std::wstring SignerName(const Signature& signature)
{
    UTIL::UniqueCertContext pCert = SignerCertificate(signature);
    return pCert ? CertSimpleDisplayName(pCert.Get()) : L"";
}

std::wstring IssuerName(const Signature& signature)
{
    UTIL::UniqueCertContext pCert = SignerCertificate(signature);
    wchar_t name[256] = {};
    if (pCert) {
        ::CertGetNameStringW(pCert.Get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr, name, 256);
    }
    return name;
}

SignedImageDigest SignedDigest(HCRYPTMSG hMsg)
{
    SignedImageDigest signedDigest = {};
    EXPECT_TRUE(GetSignedImageDigest(hMsg, signedDigest)) << std::hex << ::GetLastError();
    return signedDigest;
}

// What osslsigncode read at build time as the digest <name>.dll signed:
// "<ALGORITHM> <HEX>".
std::pair<std::string, std::vector<BYTE>> OsslsigncodeDigest(const std::wstring& name)
{
    const std::string text = ReadFileBytes(SignData(name + L".digest"));
    const size_t space = text.find(' ');
    std::vector<BYTE> digest;
    for (size_t i = space + 1; space != std::string::npos && i + 1 < text.size() && isxdigit(text[i]); i += 2) {
        digest.push_back(static_cast<BYTE>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return {text.substr(0, space), digest};
}

std::vector<BYTE> ReadImage(const std::wstring& path)
{
    const std::string bytes = ReadFileBytes(path);
    return std::vector<BYTE>(bytes.begin(), bytes.end());
}

// ---------------------------------------------------------------------------

TEST(ImageDigestTest, DigestOfEachSignedFileIsTheOneOsslsigncodeSigned)
{
    struct Case {
        const wchar_t* name;
        const char* algorithm;
        ALG_ID algId;
        size_t cbDigest;
    };
    // The sample library with SHA-256 and with SHA-1, and a PE32+ image.
    const Case cases[] = {{L"maker", "SHA256", CALG_SHA_256, 32},
                          {L"maker_sha1", "SHA1", CALG_SHA1, 20},
                          {L"maker64", "SHA256", CALG_SHA_256, 32}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing_support::Narrow(c.name));
        const std::wstring path = SignData(std::wstring(c.name) + L".dll");
        const auto ossl = OsslsigncodeDigest(c.name);
        ASSERT_EQ(c.algorithm, ossl.first);
        ASSERT_EQ(c.cbDigest, ossl.second.size());

        Signature signature = FileSignature(path);
        ASSERT_TRUE(signature.hMsg);
        const SignedImageDigest signedDigest = SignedDigest(signature.hMsg.Get());
        EXPECT_EQ(c.algId, signedDigest.algId);
        EXPECT_EQ(ossl.second, signedDigest.digest);
        EXPECT_EQ(ossl.second, FileDigest(path, c.algId));
        EXPECT_TRUE(SignedMatches(signature.hMsg.Get(), path)) << std::hex << ::GetLastError();
    }
    EXPECT_NE(FileDigest(SignData(L"maker.dll"), CALG_SHA1), FileDigest(SignData(L"maker.dll"), CALG_SHA_256));
}

TEST(ImageDigestTest, ChangedAndUnsignedFilesHaveNoMatchingSignedDigest)
{
    // One code byte changed under the maker's signature.
    const std::wstring tampered = SignData(L"tampered.dll");
    Signature signature = FileSignature(tampered);
    ASSERT_TRUE(signature.hMsg);
    EXPECT_EQ(SignedDigest(FileSignature(SignData(L"maker.dll")).hMsg.Get()).digest,
              SignedDigest(signature.hMsg.Get()).digest);
    ::SetLastError(0xdeadbeef);
    EXPECT_FALSE(SignedMatches(signature.hMsg.Get(), tampered));
    EXPECT_EQ(static_cast<DWORD>(TRUST_E_BAD_DIGEST), ::GetLastError());

    // No signature to read; the digest then covers the whole file.
    const std::wstring unsignedFile = SignData(L"unsigned.dll");
    EXPECT_FALSE(FileSignature(unsignedFile).hMsg);
    const std::vector<BYTE> image = ReadImage(unsignedFile);
    ImageDigestLayout layout = {};
    ASSERT_TRUE(ParseImageDigestLayout(image.data(), image.size(), image.size(), layout));
    EXPECT_EQ(0u, layout.offCertTable);
    EXPECT_EQ(image.size(), layout.cbHashed);

    ::SetLastError(0xdeadbeef);
    std::vector<BYTE> digest;
    UTIL::UniqueHandle hFile = OpenRead(unsignedFile);
    EXPECT_FALSE(ComputeImageDigest(hFile.Get(), CALG_MD5, digest));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), ::GetLastError());
}

// The attack files are what they claim: a maker signature over other bytes.
TEST(ImageDigestTest, AttackFilesCarryMakerSignaturesOverOtherBytes)
{
    const std::vector<BYTE> makerDigest = SignedDigest(FileSignature(SignData(L"maker.dll")).hMsg.Get()).digest;

    // The maker's signature block copied onto another library and onto the key-list library.
    for (const wchar_t* name : {L"transplanted.dll", L"zoriva_transplanted.dll"}) {
        SCOPED_TRACE(testing_support::Narrow(name));
        Signature signature = FileSignature(SignData(name));
        ASSERT_TRUE(signature.hMsg);
        EXPECT_EQ(kMaker, SignerName(signature));
        EXPECT_EQ(makerDigest, SignedDigest(signature.hMsg.Get()).digest);
        EXPECT_NE(makerDigest, FileDigest(SignData(name), CALG_SHA_256));
        EXPECT_FALSE(SignedMatches(signature.hMsg.Get(), SignData(name)));
    }

    // Signed by another signer over its own bytes, with the maker's signature nested.
    const std::wstring grafted = SignData(L"grafted.dll");
    Signature primary = FileSignature(grafted);
    ASSERT_TRUE(primary.hMsg);
    EXPECT_EQ(L"Larkspur Tools Ltd", SignerName(primary));
    EXPECT_TRUE(SignedMatches(primary.hMsg.Get(), grafted));
    Signature nested = NestedSignature(primary.hMsg.Get());
    ASSERT_TRUE(nested.hMsg);
    EXPECT_EQ(kMaker, SignerName(nested));
    EXPECT_EQ(makerDigest, SignedDigest(nested.hMsg.Get()).digest);
    EXPECT_FALSE(SignedMatches(nested.hMsg.Get(), grafted));

    // The key-list library intact, signed under the maker's name by a root nobody trusts.
    const std::wstring forged = SignData(L"zoriva_forged.dll");
    Signature forgedSignature = FileSignature(forged);
    ASSERT_TRUE(forgedSignature.hMsg);
    EXPECT_EQ(kMaker, SignerName(forgedSignature));
    EXPECT_EQ(L"KivProxy Stray Root CA", IssuerName(forgedSignature));
    EXPECT_TRUE(SignedMatches(forgedSignature.hMsg.Get(), forged));

    // The maker's signature whose indirect data was rewritten to this file's
    // digest: the signer's signature still verifies, but its messageDigest
    // attribute covers the original content.
    const std::wstring forgedIndirect = SignData(L"forged_indirect.dll");
    Signature rewritten = FileSignature(forgedIndirect);
    ASSERT_TRUE(rewritten.hMsg);
    EXPECT_EQ(kMaker, SignerName(rewritten));
    EXPECT_EQ(OsslsigncodeDigest(L"forged_indirect").second, FileDigest(forgedIndirect, CALG_SHA_256));
    SignedImageDigest signedDigest = {};
    ::SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetSignedImageDigest(rewritten.hMsg.Get(), signedDigest));
    EXPECT_EQ(static_cast<DWORD>(CRYPT_E_HASH_VALUE), ::GetLastError());
    EXPECT_FALSE(SignedMatches(rewritten.hMsg.Get(), forgedIndirect));
}

// ---------------------------------------------------------------------------

DWORD Get32(const std::vector<BYTE>& img, size_t at)
{
    DWORD v = 0;
    std::memcpy(&v, img.data() + at, sizeof(v));
    return v;
}

void Put(std::vector<BYTE>& img, size_t at, DWORD value, size_t cb)
{
    if (at <= img.size() && cb <= img.size() - at) {
        std::memcpy(img.data() + at, &value, cb);
    }
}

// Deterministic damage to a signed image: truncation, the header fields the
// digest depends on set to edge values, and bit flips.
void MutateImage(std::vector<BYTE>& img, std::mt19937& rng)
{
    auto pick = [&](size_t n) { return n == 0 ? size_t(0) : static_cast<size_t>(rng() % n); };
    const DWORD cbFile = static_cast<DWORD>(img.size());
    const DWORD kEdges[] = {0, 1, 4, 5, 8, 16, 17, 0x40, 0x80, 0xE0, 0xF0, 0x200, 0x1000, 0xFFFF, 0x10000,
                            0x1FFFFFFF, 0x20000000, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFF8u, 0xFFFFFFFFu,
                            cbFile, cbFile - 1, cbFile + 1, cbFile - 8, cbFile / 2};
    auto edge = [&]() { return pick(4) == 0 ? static_cast<DWORD>(rng()) : kEdges[pick(sizeof(kEdges) / 4)]; };

    for (size_t steps = 1 + pick(3); steps > 0; --steps) {
        // Where the fields are in the image as it is now (when they can be found).
        const size_t offNt = img.size() >= 0x40 ? Get32(img, 0x3C) : img.size();
        const size_t offOpt = offNt + 24;
        const bool bPlus = offOpt + 2 <= img.size() && img[offOpt] == 0x0B && img[offOpt + 1] == 0x02;
        const size_t offCount = offOpt + (bPlus ? 108 : 92);
        const size_t offCertEntry = offOpt + (bPlus ? 112 : 96) + 32;
        switch (pick(9)) {
        case 0: // truncated, mostly within the headers
            img.resize(pick(2) == 0 ? pick(std::min<size_t>(img.size(), 1024) + 1) : pick(img.size() + 1));
            break;
        case 1:
            Put(img, 0x3C, edge(), 4); // e_lfanew
            break;
        case 2:
            Put(img, offNt + 20, edge(), 2); // SizeOfOptionalHeader
            break;
        case 3:
            Put(img, offCount, edge(), 4); // NumberOfRvaAndSizes
            break;
        case 4:
            Put(img, offCertEntry + 4 * pick(2), edge(), 4); // certificate table offset or size
            break;
        case 5: // a table that overlaps the headers, or runs past the end
            Put(img, offCertEntry, static_cast<DWORD>(pick(offCertEntry + 16)), 4);
            Put(img, offCertEntry + 4, static_cast<DWORD>(img.size() - pick(img.size() + 1) + pick(16)), 4);
            break;
        case 6:
            Put(img, offOpt, pick(2) == 0 ? 0x10B : 0x20B, 2); // the other optional-header form
            break;
        case 7: // bit flips in the headers
            for (size_t n = 1 + pick(8); n > 0 && !img.empty(); --n) {
                img[pick(std::min<size_t>(img.size(), 1024))] ^= static_cast<BYTE>(1u << pick(8));
            }
            break;
        default: // bit flips anywhere
            for (size_t n = 1 + pick(8); n > 0 && !img.empty(); --n) {
                img[pick(img.size())] ^= static_cast<BYTE>(1u << pick(8));
            }
            break;
        }
    }
}

// What every accepted layout promises about the file it was read from.
void ExpectLayoutInsideFile(const ImageDigestLayout& layout, ULONGLONG cbFile)
{
    EXPECT_LE(layout.offChecksum + 4, layout.offCertDirEntry);
    EXPECT_LE(layout.offCertDirEntry + 8, layout.cbHashed);
    EXPECT_LE(layout.cbHashed, cbFile);
    if (layout.offCertTable == 0) {
        EXPECT_EQ(0u, layout.cbCertTable);
        EXPECT_EQ(cbFile, layout.cbHashed);
    } else {
        EXPECT_EQ(layout.offCertTable, layout.cbHashed);
        EXPECT_GT(layout.cbCertTable, 0u);
        EXPECT_LE(layout.offCertTable + layout.cbCertTable, cbFile);
    }
}

std::vector<std::vector<BYTE>> FuzzSeeds()
{
    return {ReadImage(SignData(L"maker.dll")), ReadImage(SignData(L"maker64.dll")),
            ReadImage(SignData(L"maker_nested_other.dll"))};
}

TEST(ImageDigestFuzzTest, MutatedImagesNeverLeadTheLayoutOutsideTheirHeaders)
{
    const auto seeds = FuzzSeeds();
    size_t cbLargest = 0;
    for (const auto& seed : seeds) {
        ImageDigestLayout layout = {};
        ASSERT_TRUE(ParseImageDigestLayout(seed.data(), seed.size(), seed.size(), layout));
        EXPECT_GT(layout.offCertTable, 0u);
        EXPECT_EQ(seed.size(), layout.offCertTable + layout.cbCertTable);
        cbLargest = std::max(cbLargest, seed.size());
    }
    testing_support::GuardedBuffer guarded(cbLargest);
    ASSERT_NE(nullptr, guarded.Data());

    std::mt19937 rng(20241214);
    int accepted = 0;
    int refused = 0;
    for (int i = 0; i < 4000; ++i) {
        std::vector<BYTE> img = seeds[static_cast<size_t>(i) % seeds.size()];
        MutateImage(img, rng);
        SCOPED_TRACE(i);
        // Half the runs see only a prefix of the file, as the reader's first chunk.
        const ULONGLONG cbFile = img.size();
        if (i % 2 == 1) {
            img.resize(static_cast<size_t>(rng() % (img.size() + 1)));
        }
        const BYTE* pPlaced = guarded.Place(img);
        ImageDigestLayout layout = {};
        ::SetLastError(0xdeadbeef);
        if (ParseImageDigestLayout(pPlaced, img.size(), cbFile, layout)) {
            ++accepted;
            ExpectLayoutInsideFile(layout, cbFile);
            ASSERT_LE(layout.offCertDirEntry + 8, img.size()); // the entry was read from the headers given
        } else {
            ++refused;
            ASSERT_EQ(static_cast<DWORD>(ERROR_BAD_EXE_FORMAT), ::GetLastError());
        }
    }
    EXPECT_GT(accepted, 100);
    EXPECT_GT(refused, 100);
}

TEST(ImageDigestFuzzTest, DigestOfMutatedFilesIsRefusedOrReadWithinTheFile)
{
    const auto seeds = FuzzSeeds();
    TempDir dir;
    std::mt19937 rng(20241215);
    int computed = 0;
    for (int i = 0; i < 200; ++i) {
        std::vector<BYTE> img = seeds[static_cast<size_t>(i) % seeds.size()];
        MutateImage(img, rng);
        SCOPED_TRACE(i);
        const std::wstring path = dir.File(L"mutated" + std::to_wstring(i) + L".dll");
        ASSERT_TRUE(WriteFileBytes(path, std::string(img.begin(), img.end())));
        UTIL::UniqueHandle hFile = OpenRead(path);
        ASSERT_TRUE(hFile.IsValid());

        ImageDigestLayout layout = {};
        const bool bParsed = ParseImageDigestLayout(img.data(), std::min<size_t>(img.size(), 64 * 1024),
                                                    img.size(), layout);
        std::vector<BYTE> digest;
        const bool bComputed = ComputeImageDigest(hFile.Get(), CALG_SHA_256, digest);
        EXPECT_EQ(bParsed, bComputed);
        if (bComputed) {
            ++computed;
            EXPECT_EQ(32u, digest.size());
        }
    }
    EXPECT_GT(computed, 10);
}

} // namespace
