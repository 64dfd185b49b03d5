// Request, and the collections it hands out (QueryString, Form,
// ServerVariables as IRequestDictionary; their items as IStringList).
#include <algorithm>

#include "asphost/intrinsics/comobject.h"
#include "asphost/intrinsics/internal.h"
#include "asphost/intrinsics/variants.h"

namespace asphost {

namespace {

const wchar_t kRequestSource[] = L"Request object";
const std::wstring kNoText;

// Bodies larger than this are not taken into Request.Form (IIS refuses them
// by default well below this; a component reads large bodies with BinaryRead).
constexpr uint64_t kMaxFormBytes = 16u << 20;
// BinaryRead asks the body for at most this much at first, then for as
// much again as it has.
constexpr size_t kFirstReadBytes = 256 << 10;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::wstring UrlDecode(const std::string& text, size_t begin, size_t end) {
  std::string bytes;
  for (size_t i = begin; i < end; ++i) {
    char c = text[i];
    int high, low;
    if (c == '+') {
      bytes += ' ';
    } else if (c == '%' && i + 2 < end && (high = HexDigit(text[i + 1])) >= 0 && (low = HexDigit(text[i + 2])) >= 0) {
      bytes += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      bytes += c;
    }
  }
  return FromUtf8(bytes);
}

// ---------------------------------------------------------------------------
// IStringList

class StringList final : public DispatchObject<IStringList, IID_IStringList> {
 public:
  explicit StringList(std::vector<std::wstring> values) : values_(std::move(values)) {}

  STDMETHODIMP get_Item(VARIANT index, VARIANT* out) override {
    if (!out) return E_POINTER;
    VariantInit(out);
    return Guarded([&]() -> HRESULT {
      const VARIANT* i = Unwrap(&index);
      if (V_VT(i) == VT_ERROR || V_VT(i) == VT_EMPTY) {  // no argument: every value, joined
        if (values_.empty()) return S_OK;
        std::wstring joined = values_[0];
        for (size_t i = 1; i < values_.size(); ++i) joined += L", " + values_[i];
        V_VT(out) = VT_BSTR;
        return ReturnString(joined, &V_BSTR(out));
      }
      int64_t position;
      if (!IntegerValue(*i, &position)) {
        Variant converted;
        if (FAILED(VariantChangeType(converted.get(), const_cast<VARIANT*>(i), 0, VT_I4)))
          return Fail(E_INVALIDARG, kRequestSource, L"The index must be a number.");
        position = V_I4(converted.get());
      }
      if (position < 1 || static_cast<size_t>(position) > values_.size())
        return Fail(DISP_E_BADINDEX, kRequestSource, L"Index out of range.");
      V_VT(out) = VT_BSTR;
      return ReturnString(values_[static_cast<size_t>(position - 1)], &V_BSTR(out));
    });
  }
  STDMETHODIMP get_Count(int* count) override {
    if (!count) return E_POINTER;
    *count = static_cast<int>(values_.size());
    return S_OK;
  }
  STDMETHODIMP get__NewEnum(IUnknown** out) override { return CreateTextEnumerator(values_, out); }

 private:
  std::vector<std::wstring> values_;
};

// ---------------------------------------------------------------------------
// IRequestDictionary

class RequestDictionary final : public DispatchObject<IRequestDictionary, IID_IRequestDictionary> {
 public:
  RequestDictionary(ValueCollection values, std::wstring rawText)
      : values_(std::move(values)), rawText_(std::move(rawText)) {}

  STDMETHODIMP get_Item(VARIANT var, VARIANT* out) override {
    if (!out) return E_POINTER;
    VariantInit(out);
    return Guarded([&]() -> HRESULT {
      const VARIANT* key = Unwrap(&var);
      if (V_VT(key) == VT_ERROR || V_VT(key) == VT_EMPTY) {  // no argument: the raw text
        V_VT(out) = VT_BSTR;
        return ReturnString(rawText_, &V_BSTR(out));
      }
      const NamedValues* found = nullptr;
      int64_t position;
      if (IntegerValue(*key, &position)) {
        if (position < 1 || static_cast<size_t>(position) > values_.size())
          return Fail(DISP_E_BADINDEX, kRequestSource, L"Index out of range.");
        found = &values_[static_cast<size_t>(position - 1)];
      } else {
        std::wstring name;
        if (HRESULT hr = VariantText(*key, &name); FAILED(hr)) return hr;
        found = Find(name);
      }
      IDispatch* list;
      HRESULT hr = CreateStringList(found ? found->values : std::vector<std::wstring>(), &list);
      if (FAILED(hr)) return hr;
      V_VT(out) = VT_DISPATCH;
      V_DISPATCH(out) = list;
      return S_OK;
    });
  }
  STDMETHODIMP get__NewEnum(IUnknown** out) override {
    return Guarded([&] {
      std::vector<std::wstring> names;
      for (const NamedValues& item : values_) names.push_back(item.name);
      return CreateTextEnumerator(std::move(names), out);
    });
  }
  STDMETHODIMP get_Count(int* count) override {
    if (!count) return E_POINTER;
    *count = static_cast<int>(values_.size());
    return S_OK;
  }
  STDMETHODIMP get_Key(VARIANT varKey, VARIANT* out) override {
    if (!out) return E_POINTER;
    VariantInit(out);
    return Guarded([&]() -> HRESULT {
      int64_t position;
      if (IntegerValue(varKey, &position)) {
        if (position < 1 || static_cast<size_t>(position) > values_.size()) return S_OK;
        V_VT(out) = VT_BSTR;
        return ReturnString(values_[static_cast<size_t>(position - 1)].name, &V_BSTR(out));
      }
      std::wstring name;
      if (HRESULT hr = VariantText(varKey, &name); FAILED(hr)) return hr;
      if (const NamedValues* found = Find(name)) {
        V_VT(out) = VT_BSTR;
        return ReturnString(found->name, &V_BSTR(out));
      }
      return S_OK;
    });
  }

  const NamedValues* Find(const std::wstring& name) const {
    for (const NamedValues& item : values_)
      if (SameName(item.name, name)) return &item;
    return nullptr;
  }

 private:
  ValueCollection values_;
  std::wstring rawText_;
};

// ---------------------------------------------------------------------------
// IRequest

class Request final : public DispatchObject<IRequest, IID_IRequest> {
 public:
  explicit Request(const PageSetup& setup) : setup_(setup) {}

  STDMETHODIMP get_Item(BSTR name, IDispatch** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guarded([&]() -> HRESULT {
      std::wstring key = BstrText(name);
      // ASP looks in QueryString, Form, Cookies, ClientCertificate and
      // ServerVariables, in this order.
      for (auto collection : {&Request::QueryString, &Request::FormValues, &Request::ServerVariables}) {
        const ValueCollection* values;
        if (HRESULT hr = (this->*collection)(&values); FAILED(hr)) return hr;
        for (const NamedValues& item : *values)
          if (SameName(item.name, key)) return CreateStringList(item.values, out);
      }
      return CreateStringList({}, out);
    });
  }
  STDMETHODIMP get_QueryString(IRequestDictionary** out) override {
    return Collection(&Request::QueryString, &setup_.queryString, out);
  }
  STDMETHODIMP get_Form(IRequestDictionary** out) override { return Collection(&Request::FormValues, nullptr, out); }
  STDMETHODIMP get_Body(IRequestDictionary** out) override { return NotImplemented(out); }
  STDMETHODIMP get_ServerVariables(IRequestDictionary** out) override {
    return Collection(&Request::ServerVariables, &kNoText, out);
  }
  STDMETHODIMP get_ClientCertificate(IRequestDictionary** out) override {
    return Collection(&Request::NoValues, &kNoText, out);
  }
  STDMETHODIMP get_Cookies(IRequestDictionary** out) override { return Collection(&Request::NoValues, &kNoText, out); }

  STDMETHODIMP get_TotalBytes(LONG* total) override {
    if (!total) return E_POINTER;
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Request.TotalBytes"); FAILED(hr)) return hr;
      // A 32-bit property: larger bodies report the largest unsigned value.
      uint64_t declared = setup_.body->DeclaredLength();
      *total = static_cast<LONG>(static_cast<ULONG>(std::min<uint64_t>(declared, 0xFFFFFFFFu)));
      return S_OK;
    });
  }

  STDMETHODIMP BinaryRead(VARIANT* count, VARIANT* result) override {
    if (!count || !result) return E_POINTER;
    VariantInit(result);
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Request.BinaryRead"); FAILED(hr)) return hr;
      if (formTaken_)
        return Fail(E_FAIL, kRequestSource, L"Cannot call BinaryRead after using Request.Form collection.");
      int64_t asked;
      if (!IntegerValue(*count, &asked) || asked < 0)
        return Fail(E_INVALIDARG, kRequestSource, L"The count to read must be a non-negative integer.");
      bodyTaken_ = true;
      uint64_t declared = setup_.body->DeclaredLength();
      uint64_t left = declared > consumed_ ? declared - consumed_ : 0;
      // A safe array holds at most MAXLONG bytes; the cap also keeps the
      // count from wrapping on the way to size_t.
      size_t wanted = static_cast<size_t>(std::min<uint64_t>({static_cast<uint64_t>(asked), left, MAXLONG}));
      // The buffer grows with what arrives, at most doubling: a head that
      // declares a large body (Request.BinaryRead(Request.TotalBytes))
      // reserves nothing for bytes that may never come.
      size_t delivered = 0;
      while (delivered < wanted) {
        const size_t step = std::min(wanted - delivered, std::max(kFirstReadBytes, delivered));
        if (buffer_.size() < delivered + step) buffer_.resize(delivered + step);
        const size_t got = std::min(setup_.body->Read(buffer_.data() + delivered, step), step);
        delivered += got;
        if (got < step) break;
      }
      consumed_ += delivered;
      if (HRESULT hr = MakeByteArray(buffer_.data(), delivered, 0, result); FAILED(hr)) return hr;
      SetIntegerValue(count, static_cast<int64_t>(delivered));
      if (setup_.probe)
        setup_.probe->RecordRead(
            {static_cast<VARTYPE>(V_VT(Unwrap(count)) & ~VT_BYREF), asked, static_cast<int64_t>(delivered)});
      return S_OK;
    });
  }

 private:
  using CollectionGetter = HRESULT (Request::*)(const ValueCollection**);

  HRESULT Check(const wchar_t* name) {
    return setup_.probe ? setup_.probe->Check(name, IID_IRequest, kRequestSource) : S_OK;
  }
  static HRESULT NotImplemented(IRequestDictionary** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

  // A collection as a new dictionary; rawText null stands for the form's text.
  HRESULT Collection(CollectionGetter getter, const std::wstring* rawText, IRequestDictionary** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guarded([&]() -> HRESULT {
      const ValueCollection* values;
      if (HRESULT hr = (this->*getter)(&values); FAILED(hr)) return hr;
      return CreateRequestDictionary(*values, rawText ? *rawText : formText_, out);
    });
  }

  HRESULT QueryString(const ValueCollection** out) {
    if (!queryParsed_) {
      query_ = ParseUrlEncoded(Utf8(setup_.queryString));
      queryParsed_ = true;
    }
    *out = &query_;
    return S_OK;
  }

  // The form is read from the body on first use, when the body is
  // url-encoded; after BinaryRead it cannot be, as in ASP.
  HRESULT FormValues(const ValueCollection** out) {
    *out = &form_;
    if (formTaken_) return S_OK;
    std::wstring type = setup_.contentType.substr(0, setup_.contentType.find(L';'));
    if (!SameName(type, L"application/x-www-form-urlencoded")) return S_OK;
    if (bodyTaken_)
      return Fail(E_FAIL, kRequestSource, L"Cannot use Request.Form collection after calling BinaryRead.");
    uint64_t declared = setup_.body->DeclaredLength();
    if (declared > kMaxFormBytes) return Fail(E_FAIL, kRequestSource, L"The form is too large.");
    std::string text(static_cast<size_t>(declared), '\0');
    size_t got = 0;
    while (got < text.size() && setup_.body->ClientConnected()) {
      size_t n = setup_.body->Read(reinterpret_cast<uint8_t*>(&text[got]), text.size() - got);
      if (n == 0) break;
      got += n;
    }
    text.resize(got);
    consumed_ += got;
    form_ = ParseUrlEncoded(text);
    formText_ = FromUtf8(text);
    formTaken_ = true;
    return S_OK;
  }

  HRESULT ServerVariables(const ValueCollection** out) {
    if (serverVariables_.empty()) {
      std::wstring translated;
      MapVirtualPath(setup_.root, setup_.pagePath, setup_.pagePath, &translated);  // empty when it fails
      std::wstring length = std::to_wstring(setup_.body->DeclaredLength());
      std::wstring root = setup_.root;
      if (!root.empty() && root.back() != L'\\') root += L'\\';
      NameValueList standard = {
          {L"REQUEST_METHOD", setup_.method},
          {L"QUERY_STRING", setup_.queryString},
          {L"CONTENT_TYPE", setup_.contentType},
          {L"CONTENT_LENGTH", length},
          {L"SCRIPT_NAME", setup_.pagePath},
          {L"PATH_INFO", setup_.pagePath},
          {L"URL", setup_.pagePath},
          {L"PATH_TRANSLATED", translated},
          {L"APPL_PHYSICAL_PATH", root},
      };
      // The host's own values win over these and never appear twice.
      for (const NameValueList* list : {&standard, &setup_.serverVariables}) {
        for (const auto& [name, value] : *list) {
          auto known = std::find_if(serverVariables_.begin(), serverVariables_.end(),
                                    [&](const NamedValues& v) { return SameName(v.name, name); });
          if (known == serverVariables_.end())
            serverVariables_.push_back({name, {value}});
          else
            known->values = {value};
        }
      }
    }
    *out = &serverVariables_;
    return S_OK;
  }

  HRESULT NoValues(const ValueCollection** out) {
    *out = &none_;
    return S_OK;
  }

  PageSetup setup_;
  uint64_t consumed_ = 0;
  std::vector<uint8_t> buffer_;
  bool bodyTaken_ = false, formTaken_ = false, queryParsed_ = false;
  ValueCollection query_, form_, serverVariables_, none_;
  std::wstring formText_;
};

}  // namespace

ValueCollection ParseUrlEncoded(const std::string& text) {
  ValueCollection values;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) {
      size_t equals = text.find('=', start);
      bool hasValue = equals != std::string::npos && equals < end;
      std::wstring name = UrlDecode(text, start, hasValue ? equals : end);
      std::wstring value = hasValue ? UrlDecode(text, equals + 1, end) : std::wstring();
      auto item =
          std::find_if(values.begin(), values.end(), [&](const NamedValues& v) { return SameName(v.name, name); });
      if (item == values.end())
        values.push_back({name, {value}});
      else
        item->values.push_back(value);
    }
    start = end + 1;
  }
  return values;
}

HRESULT CreateRequestDictionary(ValueCollection values, std::wstring rawText, IRequestDictionary** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guarded([&] {
    *out = new RequestDictionary(std::move(values), std::move(rawText));
    return S_OK;
  });
}

HRESULT CreateStringList(std::vector<std::wstring> values, IDispatch** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guarded([&] {
    *out = new StringList(std::move(values));
    return S_OK;
  });
}

HRESULT CreateRequest(const PageSetup& setup, IRequest** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!setup.body) return E_INVALIDARG;
  return Guarded([&] {
    *out = new Request(setup);
    return S_OK;
  });
}

}  // namespace asphost
