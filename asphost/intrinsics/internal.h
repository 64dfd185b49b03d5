// What the intrinsic objects share among themselves (not part of the API).
#pragma once

#include <string>
#include <vector>

#include "asphost/intrinsics/intrinsics.h"

namespace asphost {

// A name with its values, in order of arrival (a repeated field has several).
struct NamedValues {
  std::wstring name;
  std::vector<std::wstring> values;
};
using ValueCollection = std::vector<NamedValues>;

// "a=1&b=x%20y&a=2": names and values decoded ('+' is a space, %XX a byte,
// the bytes UTF-8), repeated names gathered under their first spelling.
ValueCollection ParseUrlEncoded(const std::string& text);

// A new Request collection (IRequestDictionary) over values; rawText is what
// the collection gives without an argument (the query string, the form body).
HRESULT CreateRequestDictionary(ValueCollection values, std::wstring rawText, IRequestDictionary** out);
// The IStringList of one item: its values, or none.
HRESULT CreateStringList(std::vector<std::wstring> values, IDispatch** out);

// Server.MapPath: the physical path of a virtual one. "/x" is taken from the
// site's root, anything else from the page's folder; "." and ".." are
// resolved, and a path that leaves the root fails (*reason, when given, says
// why).
HRESULT MapVirtualPath(const std::wstring& root, const std::wstring& pagePath, const std::wstring& path,
                       std::wstring* physical, std::wstring* reason = nullptr);

// For Each over texts (keys, values): an IEnumVARIANT of VT_BSTR over a
// snapshot of items.
HRESULT CreateTextEnumerator(std::vector<std::wstring> items, IUnknown** out);

inline std::wstring BstrText(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

}  // namespace asphost
