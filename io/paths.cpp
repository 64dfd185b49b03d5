#include "io/paths.h"

namespace velmora {

size_t NameStart(ustring_view path, ustring_view separators) {
  const size_t separator = path.find_last_of(separators);
  return separator == ustring_view::npos ? 0 : separator + 1;
}

ustring AfterLastSeparator(ustring_view path, ustring_view separators) {
  return ustring(path.substr(NameStart(path, separators)));
}

ustring FolderOf(ustring_view path, ustring_view separators) {
  return ustring(path.substr(0, NameStart(path, separators)));
}

size_t ExtensionStart(ustring_view path, ustring_view separators) {
  const size_t dot = path.rfind(u'.');
  if (dot == ustring_view::npos || dot == 0 || dot < NameStart(path, separators))
    return path.size();
  return dot;
}

}  // namespace velmora
