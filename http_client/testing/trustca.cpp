// Test helper: adds a certificate authority to, or removes it from, the
// machine's trusted root store of the Wine prefix the tests run in. Works on
// the store's registry key: Wine's "Root" system store is a copy in memory
// that takes additions but forgets deletions.
//   trustca add <cert.der>     replaces any root with the same subject
//   trustca remove <cert.der>  removes every root with that subject
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

int fail(const char* what) {
  std::fprintf(stderr, "trustca: %s failed (error %lu)\n", what, GetLastError());
  return 1;
}

// Deletes the roots whose subject equals cert's, one search at a time: a
// search cannot go on from a context that was just deleted.
void removeSameSubject(HCERTSTORE store, PCCERT_CONTEXT cert) {
  while (PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME,
                                                          &cert->pCertInfo->Subject, nullptr)) {
    if (!CertDeleteCertificateFromStore(found)) break;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: trustca add|remove <cert.der>\n");
    return 2;
  }
  bool add = wcscmp(argv[1], L"add") == 0;
  std::ifstream in(argv[2], std::ios::binary);
  std::vector<BYTE> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (der.empty()) return fail("reading the certificate");

  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()));
  if (!cert) return fail("CertCreateCertificateContext");
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\SystemCertificates\\Root", 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return fail("RegCreateKeyExW");
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_REG, 0, 0, 0, key);
  RegCloseKey(key);  // the store keeps its own copy of the key
  if (!store) return fail("CertOpenStore");

  removeSameSubject(store, cert);
  int rc = 0;
  if (add && !CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
    rc = fail("CertAddCertificateContextToStore");
  CertCloseStore(store, 0);
  CertFreeCertificateContext(cert);
  return rc;
}
