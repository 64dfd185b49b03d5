#include "process/file_names.h"

#include "io/paths.h"
#include "io/staged_file.h"

namespace velmora {

namespace {

// COM and LPT take a digit, or a superscript one, two or three, which
// Windows also maps to the ports.
bool isPortDigit(char16_t c) {
  return (c >= u'0' && c <= u'9') || c == u'\u00B9' || c == u'\u00B2' || c == u'\u00B3';
}

}  // namespace

bool IsDeviceName(ustring_view name) {
  ustring_view base = name.substr(0, name.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  for (const char16_t* device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"})
    if (sameTextAsciiFolded(base, device)) return true;
  return base.size() == 4 && isPortDigit(base[3]) &&
         (sameTextAsciiFolded(base.substr(0, 3), u"COM") ||
          sameTextAsciiFolded(base.substr(0, 3), u"LPT"));
}

bool IsRefusedInName(char16_t c) {
  return c < 0x20 || c == u'?' || c == u'*' || c == u'<' || c == u'>' || c == u'|' || c == u'"';
}

ustring ClientFileName(ustring_view sent) {
  sent = sent.substr(0, sent.find(u'\0'));
  sent.remove_prefix(NameStart(sent, kClientSeparators));
  while (!sent.empty() && (sent.back() == u'.' || sent.back() == u' ')) sent.remove_suffix(1);
  ustring name(sent);
  for (char16_t& c : name)
    if (IsRefusedInName(c)) c = u'_';
  const size_t staging = std::char_traits<char16_t>::length(kStagingPrefix);
  if (name.empty() || IsDeviceName(name) ||
      sameTextAsciiFolded(ustring_view(name).substr(0, staging), kStagingPrefix))
    return u"_" + name;
  return name;
}

}  // namespace velmora
