#!/usr/bin/env python3
"""Build-time helpers for the signature tests (standard library only).

  keys-header OUT.h CERT.pem...   C++ header with each certificate's subject public key bits
  tamper IN OUT                   copy of a PE image with one byte of its first section flipped
  break-nested IN OUT             copy of a signed PE image whose first nested signature no
                                  longer verifies (last byte of its signature value flipped)
  signed-digest IN OUT            "<ALGORITHM> <HEX>" of the digest IN's primary signature signed,
                                  as osslsigncode reads it
  attach SIG IN OUT [--nest]      IN carrying the DER signature SIG (made over other bytes) as its
                                  signature, or as a nested one
  forge-indirect IN OUT           copy of IN (carrying a signature made over other bytes) whose
                                  primary signature's indirect data holds IN's own digest
  pe32plus OUT                    a minimal unsigned PE32+ DLL image (one section, no imports)
"""
import base64
import os
import re
import struct
import subprocess
import sys

NESTED_SIGNATURE_OID = bytes.fromhex("060a2b0601040182370204 01".replace(" ", ""))


def tlv(buf, off):
    """(tag, content offset, content length, end offset) of the DER element at off."""
    tag = buf[off]
    off += 1
    length = buf[off]
    off += 1
    if length & 0x80:
        n = length & 0x7F
        length = int.from_bytes(buf[off:off + n], "big")
        off += n
    return tag, off, length, off + length


def children(buf, start, end):
    out = []
    off = start
    while off < end:
        tag, cstart, clen, cend = tlv(buf, off)
        out.append((tag, cstart, clen, cend, off))
        off = cend
    return out


def public_key_bits(der):
    _, cs, _, ce = tlv(der, 0)                 # Certificate
    tbs = children(der, cs, ce)[0]             # TBSCertificate
    fields = children(der, tbs[1], tbs[3])
    if fields[0][0] == 0xA0:                   # [0] version
        fields = fields[1:]
    spki = fields[5]                           # serial, sigAlg, issuer, validity, subject, spki
    bitstring = children(der, spki[1], spki[3])[1]
    assert bitstring[0] == 0x03
    return der[bitstring[1] + 1:bitstring[3]]  # skip the unused-bits byte


def pem_to_der(text):
    body = text.split("-----BEGIN CERTIFICATE-----")[1].split("-----END CERTIFICATE-----")[0]
    return base64.b64decode("".join(body.split()))


def keys_header(out, certs):
    lines = ["// Generated at build time from the maker's test certificates. Do not edit.",
             "#pragma once", "", "namespace zoriva_keys {", ""]
    names = []
    for i, path in enumerate(certs):
        with open(path) as f:
            key = public_key_bits(pem_to_der(f.read()))
        name = "kKey%d" % i
        names.append(name)
        lines.append("const unsigned char %s[] = {" % name)
        for j in range(0, len(key), 16):
            lines.append("    " + ", ".join("0x%02x" % b for b in key[j:j + 16]) + ",")
        lines.append("};")
        lines.append("")
    lines.append("struct Key {")
    lines.append("    const unsigned char* pb;")
    lines.append("    unsigned long cb;")
    lines.append("};")
    lines.append("")
    lines.append("const Key kKeys[] = {")
    for name in names:
        lines.append("    {%s, sizeof(%s)}," % (name, name))
    lines.append("};")
    lines.append("")
    lines.append("} // namespace zoriva_keys")
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")


def pe_headers(img):
    e_lfanew = int.from_bytes(img[0x3C:0x40], "little")
    assert img[e_lfanew:e_lfanew + 4] == b"PE\0\0"
    coff = e_lfanew + 4
    size_opt = int.from_bytes(img[coff + 16:coff + 18], "little")
    opt = coff + 20
    return opt, size_opt


def tamper(src, dst):
    img = bytearray(open(src, "rb").read())
    opt, size_opt = pe_headers(img)
    first_section = opt + size_opt
    raw = int.from_bytes(img[first_section + 20:first_section + 24], "little")
    img[raw + 16] ^= 0xFF
    open(dst, "wb").write(img)


def signer_infos(buf, content_info_start, content_info_end):
    """Children of the SignerInfos set of a PKCS #7 ContentInfo (signedData)."""
    ci = children(buf, content_info_start, content_info_end)
    explicit = ci[1]                                        # [0] EXPLICIT SignedData
    signed_data = children(buf, explicit[1], explicit[3])[0]
    parts = children(buf, signed_data[1], signed_data[3])
    signer_set = parts[-1]
    assert signer_set[0] == 0x31
    return children(buf, signer_set[1], signer_set[3])


def signature_offset(img):
    """File offset of the PKCS #7 ContentInfo in the image's certificate table."""
    opt, _ = pe_headers(img)
    magic = int.from_bytes(img[opt:opt + 2], "little")
    dirs = opt + (96 if magic == 0x10B else 112)
    sec_off = int.from_bytes(img[dirs + 32:dirs + 36], "little")
    return sec_off + 8                                      # after WIN_CERTIFICATE header


def break_nested(src, dst):
    img = bytearray(open(src, "rb").read())
    _, cs, _, ce = tlv(img, signature_offset(img))
    primary = signer_infos(img, cs, ce)[0]
    fields = children(img, primary[1], primary[3])
    unauth = [f for f in fields if f[0] == 0xA1]
    assert unauth, "no unauthenticated attributes"
    for attr in children(img, unauth[0][1], unauth[0][3]):
        parts = children(img, attr[1], attr[3])
        oid = img[parts[0][4]:parts[0][3]]
        if bytes(oid) != NESTED_SIGNATURE_OID:
            continue
        value = children(img, parts[1][1], parts[1][3])[0]  # nested ContentInfo
        nested = signer_infos(img, value[1], value[3])[0]
        digest = [f for f in children(img, nested[1], nested[3]) if f[0] == 0x04][-1]
        img[digest[3] - 1] ^= 0xFF
        open(dst, "wb").write(img)
        return
    raise SystemExit("no nested signature in %s" % src)


def osslsigncode_digests(path):
    """(algorithm, current digest, calculated digest) of the primary signature."""
    run = subprocess.run(["osslsigncode", "verify", "-in", path], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, universal_newlines=True)
    found = {}
    for key in ("Message digest algorithm", "Current message digest", "Calculated message digest"):
        match = re.search(r"^%s\s*:\s*([0-9A-Za-z]+)" % key, run.stdout, re.MULTILINE)
        if not match:
            raise SystemExit("osslsigncode printed no %s for %s:\n%s" % (key, path, run.stdout))
        found[key] = match.group(1)
    return (found["Message digest algorithm"], found["Current message digest"],
            found["Calculated message digest"])


def signed_digest(src, dst):
    algorithm, current, _ = osslsigncode_digests(src)
    with open(dst, "w") as f:
        f.write("%s %s\n" % (algorithm, current))


def attach(sig, src, dst, nest):
    # osslsigncode writes the file, then exits 1 because the signature covers other bytes.
    if os.path.exists(dst):
        os.remove(dst)
    subprocess.run(["osslsigncode", "attach-signature"] + (["-nest"] if nest else []) +
                   ["-sigin", sig, "-in", src, "-out", dst], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    if not os.path.exists(dst) or os.path.getsize(dst) <= os.path.getsize(src):
        raise SystemExit("osslsigncode did not attach %s to %s" % (sig, src))


def forge_indirect(src, dst):
    _, _, calculated = osslsigncode_digests(src)
    img = bytearray(open(src, "rb").read())
    _, cs, _, ce = tlv(img, signature_offset(img))
    explicit = children(img, cs, ce)[1]                    # [0] EXPLICIT SignedData
    signed_data = children(img, explicit[1], explicit[3])[0]
    encap = children(img, signed_data[1], signed_data[3])[2]
    content = children(img, encap[1], encap[3])[1]         # [0] EXPLICIT content
    indirect = children(img, content[1], content[3])[0]    # SpcIndirectDataContent
    digest_info = children(img, indirect[1], indirect[3])[1]
    digest = children(img, digest_info[1], digest_info[3])[1]
    new = bytes.fromhex(calculated)
    assert digest[0] == 0x04 and digest[2] == len(new)
    img[digest[1]:digest[3]] = new
    open(dst, "wb").write(img)


def pe32plus(dst):
    file_align, sect_align = 0x200, 0x1000
    dos = bytearray(0x80)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, len(dos))
    nt = b"PE\0\0" + struct.pack("<HHIIIHH", 0x8664, 1, 0, 0, 0, 240, 0x2022)
    opt = struct.pack("<HBBIIIII", 0x20B, 14, 0, file_align, 0, 0, 0x1000, 0x1000)
    opt += struct.pack("<QII", 0x180000000, sect_align, file_align)
    opt += struct.pack("<HHHHHHI", 6, 0, 0, 0, 6, 0, 0)
    opt += struct.pack("<IIIHH", 0x2000, file_align, 0, 3, 0x0160)
    opt += struct.pack("<QQQQII", 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    opt += bytes(16 * 8)                                    # data directory
    assert len(opt) == 240
    section = struct.pack("<8sIIIIIIHHI", b".text", 0x10, 0x1000, file_align, file_align, 0, 0, 0, 0,
                          0x60000020)
    img = bytes(dos) + nt + opt + section
    img += bytes(file_align - len(img)) + b"\xC3" + bytes(file_align - 1)
    open(dst, "wb").write(img)


def main(argv):
    if len(argv) >= 3 and argv[1] == "keys-header":
        keys_header(argv[2], argv[3:])
    elif len(argv) == 4 and argv[1] == "tamper":
        tamper(argv[2], argv[3])
    elif len(argv) == 4 and argv[1] == "break-nested":
        break_nested(argv[2], argv[3])
    elif len(argv) == 4 and argv[1] == "signed-digest":
        signed_digest(argv[2], argv[3])
    elif len(argv) in (5, 6) and argv[1] == "attach" and argv[5:] in ([], ["--nest"]):
        attach(argv[2], argv[3], argv[4], len(argv) == 6)
    elif len(argv) == 4 and argv[1] == "forge-indirect":
        forge_indirect(argv[2], argv[3])
    elif len(argv) == 3 and argv[1] == "pe32plus":
        pe32plus(argv[2])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
