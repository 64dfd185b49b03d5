// The form variables of an HTTP object: names and values kept apart, so that
// a name may hold "=" and still leave with its own value.
#pragma once

#include <vector>

#include "base/ustring.h"
#include "text/stringlist.h"

namespace velmora {

// In the order added, duplicates allowed. Each variable is sent with the
// value of the first variable of its name (names compared ignoring case by
// the system locale): "A" and "a" both go out with the value of "A".
class TFormVariables {
 public:
  void add(const ustring& name, const ustring& value);
  void clear();

  int count() const { return names_.count(); }
  const ustring& name(int index) const { return names_[index]; }
  // The value variable index is sent with.
  const ustring& sentValue(int index) const { return values_[names_.indexOf(names_[index])]; }

 private:
  TStringList names_;  // one line per variable: its name, matched whole
  std::vector<ustring> values_;
};

}  // namespace velmora
