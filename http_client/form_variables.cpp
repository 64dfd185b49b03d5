#include "http_client/form_variables.h"

namespace velmora {

void TFormVariables::add(const ustring& name, const ustring& value) {
  names_.add(name);
  values_.push_back(value);
}

void TFormVariables::clear() {
  names_.clear();
  values_.clear();
}

}  // namespace velmora
