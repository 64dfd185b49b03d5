#include "textutils/stringlist.h"

#include "textutils/errors.h"
#include "textutils/system_text.h"

namespace velmora {

ustring_view lineName(ustring_view line) {
  size_t eq = line.find(u'=');
  return eq == ustring_view::npos ? line : line.substr(0, eq);
}

void TStringList::check(int index) const {
  if (index < 0 || index >= count()) throw EStringListError::indexOutOfBounds(index);
}

const ustring& TStringList::operator[](int index) const {
  check(index);
  return lines_[static_cast<size_t>(index)];
}

ustring TStringList::name(int index) const { return ustring(lineName((*this)[index])); }

ustring TStringList::value(int index) const {
  const ustring& line = (*this)[index];
  size_t eq = line.find(u'=');
  return eq == ustring::npos ? ustring() : line.substr(eq + 1);
}

void TStringList::add(ustring line) { lines_.push_back(std::move(line)); }

void TStringList::addPair(ustring_view name, ustring_view value) {
  ustring line;
  line.reserve(name.size() + 1 + value.size());
  line.append(name).append(1, u'=').append(value);
  lines_.push_back(std::move(line));
}

int TStringList::indexOfName(ustring_view name) const {
  for (size_t i = 0; i < lines_.size(); ++i)
    if (systext::sameTextIgnoringCase(lineName(lines_[i]), name)) return static_cast<int>(i);
  return -1;
}

int TStringList::indexOf(ustring_view text) const {
  for (size_t i = 0; i < lines_.size(); ++i)
    if (systext::sameTextIgnoringCase(lines_[i], text)) return static_cast<int>(i);
  return -1;
}

ustring TStringList::valueOf(ustring_view name) const {
  int i = indexOfName(name);
  return i < 0 ? ustring() : value(i);
}

}  // namespace velmora
