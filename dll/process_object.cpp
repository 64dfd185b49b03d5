// The Process coclass: IProcess over TProcess, which does the work; each
// member converts its arguments, calls through and converts the result.
#include "process/process.h"

#include <memory>

#include "dll/asp_host.h"
#include "dll/automation.h"
#include "dll/module.h"
#include "dll/velmora32_idl.h"

namespace velmora {
namespace {

class TProcessObject : public TAutoObject<IProcess> {
 public:
  using TAutoObject::TAutoObject;

  void Initialize() { process_ = std::make_unique<TProcess>(std::make_unique<TASPMTSObject>()); }

  ~TProcessObject() override = default;

  // Scalar properties.
  STDMETHODIMP get_MaxKB(LONG* Value) override { return CallLong(Value, [&] { return p().MaxKB(); }); }
  STDMETHODIMP put_MaxKB(LONG value) override { return Call([&] { p().SetMaxKB(value); }); }
  STDMETHODIMP get_Status(LONG* Value) override { return CallLong(Value, [&] { return p().Status(); }); }
  STDMETHODIMP get_TotalBytes(LONG* Value) override {
    return CallLong(Value, [&] { return p().TotalBytes(); });
  }
  STDMETHODIMP get_ShowProgress(VARIANT_BOOL* Value) override {
    return CallBool(Value, [&] { return p().ShowProgress(); });
  }
  STDMETHODIMP put_ShowProgress(VARIANT_BOOL value) override {
    return Call([&] { p().SetShowProgress(FromVariantBool(value)); });
  }
  STDMETHODIMP get_ProgressID(BSTR* Value) override {
    return CallBStr(Value, [&] { return p().ProgressID(); });
  }
  STDMETHODIMP put_ProgressID(BSTR value) override {
    return Call([&] { p().SetProgressID(FromBStr(value)); });
  }
  STDMETHODIMP get_SaveDirect(VARIANT_BOOL* Value) override {
    return CallBool(Value, [&] { return p().SaveDirect(); });
  }
  STDMETHODIMP put_SaveDirect(VARIANT_BOOL value) override {
    return Call([&] { p().SetSaveDirect(FromVariantBool(value)); });
  }
  STDMETHODIMP get_SaveDirectName(BSTR* Value) override {
    return CallBStr(Value, [&] { return p().SaveDirectName(); });
  }
  STDMETHODIMP put_SaveDirectName(BSTR value) override {
    return Call([&] { p().SetSaveDirectName(FromBStr(value)); });
  }
  STDMETHODIMP get_SaveDirectPath(BSTR* Value) override {
    return CallBStr(Value, [&] { return p().SaveDirectPath(); });
  }
  STDMETHODIMP put_SaveDirectPath(BSTR value) override {
    return Call([&] { p().SetSaveDirectPath(FromBStr(value)); });
  }
  STDMETHODIMP get_SaveDirectUseExistingName(VARIANT_BOOL* Value) override {
    return CallBool(Value, [&] { return p().SaveDirectUseExistingName(); });
  }
  STDMETHODIMP put_SaveDirectUseExistingName(VARIANT_BOOL value) override {
    return Call([&] { p().SetSaveDirectUseExistingName(FromVariantBool(value)); });
  }
  STDMETHODIMP get_Debug(BSTR* Value) override { return CallBStr(Value, [&] { return p().Debug(); }); }

  // Reading the request body.
  STDMETHODIMP Read() override { return CallReading([&] { p().Read(); }); }
  STDMETHODIMP ReadChunks() override { return CallReading([&] { p().ReadChunks(); }); }
  STDMETHODIMP DumpHeader(BSTR FileName) override {
    return CallReading([&] { p().DumpHeader(FromBStr(FileName)); });
  }

  // Form variables and character sets.
  STDMETHODIMP get_Value(BSTR VarName, BSTR* Value) override {
    return CallBStr(Value, [&] { return p().Value(FromBStr(VarName)); });
  }
  STDMETHODIMP get_VarByIndex(LONG Index, BSTR* Value) override {
    return CallBStr(Value, [&] { return p().VarByIndex(Index); });
  }
  STDMETHODIMP get_VarName(LONG Index, BSTR* Value) override {
    return CallBStr(Value, [&] { return p().VarName(Index); });
  }
  STDMETHODIMP get_VarCount(LONG* Value) override {
    return CallLong(Value, [&] { return p().VarCount(); });
  }
  STDMETHODIMP get_VarDelimiter(BSTR* Value) override {
    return CallBStr(Value, [&] { return p().VarDelimiter(); });
  }
  STDMETHODIMP put_VarDelimiter(BSTR value) override {
    return Call([&] { p().SetVarDelimiter(FromBStr(value)); });
  }
  STDMETHODIMP get_TagName(LONG Index, BSTR* Value) override {
    return CallBStr(Value, [&] { return p().TagName(Index); });
  }
  STDMETHODIMP get_TagNameIndex(BSTR TagName, LONG* Value) override {
    return CallLong(Value, [&] { return p().TagNameIndex(FromBStr(TagName)); });
  }
  STDMETHODIMP get_Charset(BSTR* Value) override {
    return CallBStr(Value, [&] { return p().Charset(); });
  }
  STDMETHODIMP put_Charset(BSTR value) override {
    return Call([&] { p().SetCharset(FromBStr(value)); });
  }
  STDMETHODIMP DecodeUTF8(BSTR UTF8In, BSTR* Result) override {
    return CallBStr(Result, [&] { return p().DecodeUTF8(FromBStr(UTF8In)); });
  }

  // Uploaded files.
  STDMETHODIMP get_FileQty(LONG* Value) override {
    return CallLong(Value, [&] { return p().FileQty(); });
  }
  STDMETHODIMP get_FileName(LONG Index, BSTR* Value) override {
    return CallBStr(Value, [&] { return p().FileName(Index); });
  }
  STDMETHODIMP get_LocalName(LONG Index, BSTR* Value) override {
    return CallBStr(Value, [&] { return p().LocalName(Index); });
  }
  STDMETHODIMP get_Extension(LONG Index, BSTR* Value) override {
    return CallBStr(Value, [&] { return p().Extension(Index); });
  }
  STDMETHODIMP get_NameOnly(LONG Index, BSTR* Value) override {
    return CallBStr(Value, [&] { return p().NameOnly(Index); });
  }
  STDMETHODIMP get_ContentType(LONG Index, BSTR* Value) override {
    return CallBStr(Value, [&] { return p().ContentType(Index); });
  }
  STDMETHODIMP get_NewName(LONG Index, BSTR* Value) override {
    return CallBStr(Value, [&] { return p().NewName(Index); });
  }
  STDMETHODIMP get_FileSize(LONG Index, LONG* Value) override {
    return CallLong(Value, [&] { return p().FileSize(Index); });
  }
  STDMETHODIMP get_FileData(LONG Index, VARIANT* Value) override {
    return CallVariant(Value, [&](VARIANT* out) { ToByteArray(p().FileData(Index), out); });
  }
  STDMETHODIMP get_FileAsBase64(LONG Index, BSTR* Value) override {
    return CallBStr(Value, [&] { return p().FileAsBase64(Index); });
  }

  // Saving uploaded files.
  STDMETHODIMP FileSave(BSTR FileName, LONG Index) override {
    return Call([&] { p().FileSave(FromBStr(FileName), Index); });
  }
  STDMETHODIMP get_OverwriteMode(LONG* Value) override {
    return CallLong(Value, [&] { return p().OverwriteMode(); });
  }
  STDMETHODIMP put_OverwriteMode(LONG value) override {
    return Call([&] { p().SetOverwriteMode(value); });
  }
  STDMETHODIMP get_OverwriteChr(BSTR* Value) override {
    return CallBStr(Value, [&] { return p().OverwriteChr(); });
  }
  STDMETHODIMP put_OverwriteChr(BSTR value) override {
    return Call([&] { p().SetOverwriteChr(FromBStr(value)); });
  }

  // File-system operations.
  STDMETHODIMP CreateDir(BSTR Directory, VARIANT_BOOL* Return) override {
    return CallBool(Return, [&] { return p().CreateDir(FromBStr(Directory)); });
  }
  STDMETHODIMP get_FileExists(BSTR FileName, VARIANT_BOOL* Value) override {
    return CallBool(Value, [&] { return p().FileExists(FromBStr(FileName)); });
  }
  STDMETHODIMP get_ParentDir(BSTR Path, BSTR* Value) override {
    return CallBStr(Value, [&] { return p().ParentDir(FromBStr(Path)); });
  }
  STDMETHODIMP get_CurrentDir(BSTR* Value) override {
    return CallBStr(Value, [&] { return p().CurrentDir(); });
  }
  STDMETHODIMP AppendToFile(BSTR FileName, BSTR NewLine) override {
    return Call([&] { p().AppendToFile(FromBStr(FileName), FromBStr(NewLine)); });
  }
  STDMETHODIMP Copy(BSTR OldName, BSTR NewName) override {
    return Call([&] { p().Copy(FromBStr(OldName), FromBStr(NewName)); });
  }
  STDMETHODIMP Rename(BSTR OldName, BSTR NewName) override {
    return Call([&] { p().Rename(FromBStr(OldName), FromBStr(NewName)); });
  }
  STDMETHODIMP Delete(BSTR FileName) override {
    return Call([&] {
      ustring name = FromBStr(FileName);
      TestHook(name);
      p().Delete(name);
    });
  }
  STDMETHODIMP CreateGUID(BSTR* Result) override {
    return CallBStr(Result, [&] { return p().CreateGUID(); });
  }
  STDMETHODIMP get_Version(BSTR* Value) override {
    return CallBStr(Value, [&] { return p().Version(); });
  }

 private:
  TProcess& p() { return *process_; }

  std::unique_ptr<TProcess> process_;
};

}  // namespace

IUnknown* CreateProcessObject(const TComClass& cls, IUnknown* outer) {
  return CreateAutoObject<TProcessObject>(cls, outer);
}

}  // namespace velmora
