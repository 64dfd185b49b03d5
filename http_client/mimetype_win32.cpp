// The MIME type of a file extension from the registry, as Windows keeps it:
// HKEY_CLASSES_ROOT\<.ext>, value "Content Type".
#include <windows.h>

#include <vector>

#include "base/wide.h"
#include "http_client/multipart_body.h"

namespace velmora {

namespace {

// True with the string value (empty when there is none); false for a value
// of another type or one that cannot be read.
bool readStringValue(HKEY key, const wchar_t* name, ustring& value) {
  DWORD type = 0, size = 0;
  LONG rc = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  if (rc == ERROR_FILE_NOT_FOUND) return true;
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
      ERROR_SUCCESS)
    return false;
  // Stored as written (REG_EXPAND_SZ is not expanded), up to its first null.
  value = fromWide(buffer.data());
  return true;
}

}  // namespace

// The key is opened for reading only: asking for more would leave a process
// that may only read HKEY_CLASSES_ROOT (a web server's worker, typically)
// without any type.
ustring MimeTypeFromExtension(const ustring& Extension) {
  if (Extension.size() < 2) return kOctetStream;
  const ustring keyName = Extension[0] == u'.' ? Extension : u"." + Extension;
  HKEY key;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, wstr(keyName), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return kOctetStream;
  ustring type;
  bool isString = readStringValue(key, L"Content Type", type);
  RegCloseKey(key);
  return !isString || type.empty() ? ustring(kOctetStream) : type;
}

}  // namespace velmora
