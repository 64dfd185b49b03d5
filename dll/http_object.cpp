// The HTTP coclass: IHTTP over THTTP, which does the work; each member
// converts its arguments, calls through and converts the result.
#include "http_client/http.h"

#include <memory>

#include "dll/automation.h"
#include "dll/module.h"
#include "dll/velmora32_idl.h"

namespace velmora {
namespace {

class THTTPObject : public TAutoObject<IHTTP> {
 public:
  using TAutoObject::TAutoObject;

  void Initialize() { http_ = std::make_unique<THTTP>(); }

  ~THTTPObject() override = default;

  STDMETHODIMP get_HTTPTimeout(LONG* Value) override {
    return CallLong(Value, [&] { return h().HTTPTimeout(); });
  }
  STDMETHODIMP put_HTTPTimeout(LONG value) override {
    return Call([&] { h().SetHTTPTimeout(value); });
  }
  STDMETHODIMP get_Username(BSTR* Value) override {
    return CallBStr(Value, [&] { return h().Username(); });
  }
  STDMETHODIMP put_Username(BSTR value) override {
    return Call([&] { h().SetUsername(FromBStr(value)); });
  }
  STDMETHODIMP get_Password(BSTR* Value) override {
    return CallBStr(Value, [&] { return h().Password(); });
  }
  STDMETHODIMP put_Password(BSTR value) override {
    return Call([&] { h().SetPassword(FromBStr(value)); });
  }
  STDMETHODIMP get_ReturnFile(BSTR* Value) override {
    return CallBStr(Value, [&] { return h().ReturnFile(); });
  }
  STDMETHODIMP get_ReturnCode(LONG* Value) override {
    return CallLong(Value, [&] { return h().ReturnCode(); });
  }
  STDMETHODIMP get_TagName(BSTR* Value) override {
    return CallBStr(Value, [&] { return h().TagName(); });
  }
  STDMETHODIMP put_TagName(BSTR value) override {
    return Call([&] { h().SetTagName(FromBStr(value)); });
  }
  STDMETHODIMP AddFormVar(BSTR Name, BSTR Value) override {
    return Call([&] {
      ustring name = FromBStr(Name);
      TestHook(name);
      h().AddFormVar(name, FromBStr(Value));
    });
  }
  STDMETHODIMP ClearFormVars() override { return Call([&] { h().ClearFormVars(); }); }
  STDMETHODIMP UploadFile(BSTR URL, BSTR FileName, VARIANT_BOOL* Return) override {
    return CallBool(Return, [&] { return h().UploadFile(FromBStr(URL), FromBStr(FileName)); });
  }
  STDMETHODIMP UploadData(BSTR URL, VARIANT Data, BSTR Name, VARIANT_BOOL* Return) override {
    return CallBool(Return, [&] {
      TArrayBytes data(Data);
      return h().UploadData(FromBStr(URL), data.bytes(), FromBStr(Name));
    });
  }
  STDMETHODIMP DownloadFile(BSTR URL, BSTR FileName) override {
    return Call([&] { h().DownloadFile(FromBStr(URL), FromBStr(FileName)); });
  }
  STDMETHODIMP DownloadData(BSTR URL, VARIANT* Data) override {
    return CallVariant(Data, [&](VARIANT* out) {
      const std::vector<uint8_t> body = h().DownloadData(FromBStr(URL));
      ToByteArray({body.data(), body.size()}, out);
    });
  }
  STDMETHODIMP get_RequestMethod(BSTR* Value) override {
    return CallBStr(Value, [&] { return h().RequestMethod(); });
  }
  STDMETHODIMP put_RequestMethod(BSTR value) override {
    return Call([&] { h().SetRequestMethod(FromBStr(value)); });
  }
  STDMETHODIMP get_UserAgent(BSTR* Value) override {
    return CallBStr(Value, [&] { return h().UserAgent(); });
  }
  STDMETHODIMP put_UserAgent(BSTR value) override {
    return Call([&] { h().SetUserAgent(FromBStr(value)); });
  }
  STDMETHODIMP VariantToString(VARIANT InVar, BSTR* OutStr) override {
    return CallBStr(OutStr, [&] {
      TArrayBytes data(InVar);
      return h().VariantToString(data.bytes());
    });
  }
  STDMETHODIMP get_DebugHTTP(BSTR* Value) override {
    return CallBStr(Value, [&] { return h().DebugHTTP(); });
  }

 private:
  THTTP& h() { return *http_; }

  std::unique_ptr<THTTP> http_;
};

}  // namespace

IUnknown* CreateHTTPObject(const TComClass& cls, IUnknown* outer) {
  return CreateAutoObject<THTTPObject>(cls, outer);
}

}  // namespace velmora
