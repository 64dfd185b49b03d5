// The type library as velmora32.dll carries it: every member of both
// interfaces, row by row, and the library's and types' attributes.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const GUID kLibId = {0x7a515cf5, 0x2a75, 0x43c2, {0x88, 0xeb, 0x0e, 0x5a, 0xb9, 0xdb, 0xa6, 0x68}};
const IID kIProcess = {0x2b7d9636, 0xbe33, 0x4327, {0x80, 0x7e, 0xe0, 0x95, 0xeb, 0x85, 0x9b, 0x7a}};
const CLSID kProcess = {0x86e920fb, 0xa305, 0x400b, {0xaf, 0xbf, 0xe9, 0x35, 0xa6, 0x61, 0x60, 0x3e}};
const IID kIHTTP = {0xb9a4a703, 0xa22d, 0x47bb, {0x89, 0xfd, 0x3b, 0x1d, 0x78, 0x67, 0x78, 0x27}};
const CLSID kHTTP = {0x7575a79e, 0x03fb, 0x4d31, {0xa4, 0x68, 0x52, 0xff, 0x88, 0x11, 0xfe, 0xcc}};

// A slot of the function table holds one pointer: 4 bytes in the 32-bit
// library, 8 in the 64-bit one.
constexpr int kSlotSize = sizeof(void*);

enum Kind { kGet = INVOKE_PROPERTYGET, kPut = INVOKE_PROPERTYPUT, kMethod = INVOKE_FUNC };

struct Param {
  const char* name;  // "" for the unnamed value of a put
  VARTYPE vt;
};

struct Row {
  int slot;
  DISPID dispid;
  Kind kind;
  const char* name;
  std::vector<Param> params;  // in-parameters
  VARTYPE result;             // VT_EMPTY: none
  const char* resultName;     // the retval's name
};

const std::vector<Row> kProcessRows = {
    {7, 201, kGet, "MaxKB", {}, VT_I4, "Value"},
    {8, 201, kPut, "MaxKB", {{"", VT_I4}}, VT_EMPTY, nullptr},
    {9, 202, kGet, "Status", {}, VT_I4, "Value"},
    {10, 203, kGet, "FileQty", {}, VT_I4, "Value"},
    {11, 204, kMethod, "FileSave", {{"FileName", VT_BSTR}, {"Index", VT_I4}}, VT_EMPTY, nullptr},
    {12, 205, kGet, "FileName", {{"Index", VT_I4}}, VT_BSTR, "Value"},
    {13, 206, kGet, "LocalName", {{"Index", VT_I4}}, VT_BSTR, "Value"},
    {14, 207, kGet, "Extension", {{"Index", VT_I4}}, VT_BSTR, "Value"},
    {15, 208, kGet, "ContentType", {{"Index", VT_I4}}, VT_BSTR, "Value"},
    {16, 209, kGet, "VarCount", {}, VT_I4, "Value"},
    {17, 210, kGet, "Value", {{"VarName", VT_BSTR}}, VT_BSTR, "Value"},
    {18, 211, kGet, "VarByIndex", {{"Index", VT_I4}}, VT_BSTR, "Value"},
    {19, 212, kGet, "VarName", {{"Index", VT_I4}}, VT_BSTR, "Value"},
    {20, 213, kGet, "FileData", {{"Index", VT_I4}}, VT_VARIANT, "Value"},
    {21, 214, kGet, "FileSize", {{"Index", VT_I4}}, VT_I4, "Value"},
    {22, 215, kMethod, "Read", {}, VT_EMPTY, nullptr},
    {23, 216, kMethod, "DumpHeader", {{"FileName", VT_BSTR}}, VT_EMPTY, nullptr},
    {24, 217, kGet, "Version", {}, VT_BSTR, "Value"},
    {25, 218, kGet, "CurrentDir", {}, VT_BSTR, "Value"},
    {26, 219, kGet, "FileExists", {{"FileName", VT_BSTR}}, VT_BOOL, "Value"},
    {27, 220, kGet, "ParentDir", {{"Path", VT_BSTR}}, VT_BSTR, "Value"},
    {28, 221, kMethod, "AppendToFile", {{"FileName", VT_BSTR}, {"NewLine", VT_BSTR}}, VT_EMPTY, nullptr},
    {29, 222, kMethod, "Copy", {{"OldName", VT_BSTR}, {"NewName", VT_BSTR}}, VT_EMPTY, nullptr},
    {30, 223, kMethod, "Delete", {{"FileName", VT_BSTR}}, VT_EMPTY, nullptr},
    {31, 224, kMethod, "Rename", {{"OldName", VT_BSTR}, {"NewName", VT_BSTR}}, VT_EMPTY, nullptr},
    {32, 225, kGet, "NameOnly", {{"Index", VT_I4}}, VT_BSTR, "Value"},
    {33, 226, kGet, "OverwriteMode", {}, VT_I4, "Value"},
    {34, 226, kPut, "OverwriteMode", {{"", VT_I4}}, VT_EMPTY, nullptr},
    {35, 227, kGet, "NewName", {{"Index", VT_I4}}, VT_BSTR, "Value"},
    {36, 228, kGet, "TotalBytes", {}, VT_I4, "Value"},
    {37, 229, kGet, "TagNameIndex", {{"TagName", VT_BSTR}}, VT_I4, "Value"},
    {38, 230, kGet, "OverwriteChr", {}, VT_BSTR, "Value"},
    {39, 230, kPut, "OverwriteChr", {{"", VT_BSTR}}, VT_EMPTY, nullptr},
    {40, 231, kMethod, "DecodeUTF8", {{"UTF8In", VT_BSTR}}, VT_BSTR, "Result"},
    {41, 232, kGet, "VarDelimiter", {}, VT_BSTR, "Value"},
    {42, 232, kPut, "VarDelimiter", {{"", VT_BSTR}}, VT_EMPTY, nullptr},
    {43, 233, kMethod, "CreateDir", {{"Directory", VT_BSTR}}, VT_BOOL, "Return"},
    {44, 234, kGet, "TagName", {{"Index", VT_I4}}, VT_BSTR, "Value"},
    {45, 235, kGet, "ShowProgress", {}, VT_BOOL, "Value"},
    {46, 235, kPut, "ShowProgress", {{"", VT_BOOL}}, VT_EMPTY, nullptr},
    {47, 236, kGet, "ProgressID", {}, VT_BSTR, "Value"},
    {48, 236, kPut, "ProgressID", {{"", VT_BSTR}}, VT_EMPTY, nullptr},
    {49, 237, kGet, "SaveDirect", {}, VT_BOOL, "Value"},
    {50, 237, kPut, "SaveDirect", {{"", VT_BOOL}}, VT_EMPTY, nullptr},
    {51, 238, kGet, "SaveDirectName", {}, VT_BSTR, "Value"},
    {52, 238, kPut, "SaveDirectName", {{"", VT_BSTR}}, VT_EMPTY, nullptr},
    {53, 239, kGet, "SaveDirectPath", {}, VT_BSTR, "Value"},
    {54, 239, kPut, "SaveDirectPath", {{"", VT_BSTR}}, VT_EMPTY, nullptr},
    {55, 240, kGet, "SaveDirectUseExistingName", {}, VT_BOOL, "Value"},
    {56, 240, kPut, "SaveDirectUseExistingName", {{"", VT_BOOL}}, VT_EMPTY, nullptr},
    {57, 241, kMethod, "CreateGUID", {}, VT_BSTR, "Result"},
    {58, 242, kGet, "Debug", {}, VT_BSTR, "Value"},
    {59, 243, kGet, "FileAsBase64", {{"Index", VT_I4}}, VT_BSTR, "Value"},
    {60, 244, kMethod, "ReadChunks", {}, VT_EMPTY, nullptr},
    {61, 245, kGet, "Charset", {}, VT_BSTR, "Value"},
    {62, 245, kPut, "Charset", {{"", VT_BSTR}}, VT_EMPTY, nullptr},
};

const std::vector<Row> kHTTPRows = {
    {7, 201, kGet, "HTTPTimeout", {}, VT_I4, "Value"},
    {8, 201, kPut, "HTTPTimeout", {{"", VT_I4}}, VT_EMPTY, nullptr},
    {9, 202, kGet, "Username", {}, VT_BSTR, "Value"},
    {10, 202, kPut, "Username", {{"", VT_BSTR}}, VT_EMPTY, nullptr},
    {11, 203, kGet, "Password", {}, VT_BSTR, "Value"},
    {12, 203, kPut, "Password", {{"", VT_BSTR}}, VT_EMPTY, nullptr},
    {13, 204, kGet, "ReturnFile", {}, VT_BSTR, "Value"},
    {14, 205, kGet, "ReturnCode", {}, VT_I4, "Value"},
    {15, 206, kGet, "TagName", {}, VT_BSTR, "Value"},
    {16, 206, kPut, "TagName", {{"", VT_BSTR}}, VT_EMPTY, nullptr},
    {17, 207, kMethod, "AddFormVar", {{"Name", VT_BSTR}, {"Value", VT_BSTR}}, VT_EMPTY, nullptr},
    {18, 208, kMethod, "ClearFormVars", {}, VT_EMPTY, nullptr},
    {19, 209, kMethod, "UploadFile", {{"URL", VT_BSTR}, {"FileName", VT_BSTR}}, VT_BOOL, "Return"},
    {20, 210, kMethod, "UploadData", {{"URL", VT_BSTR}, {"Data", VT_VARIANT}, {"Name", VT_BSTR}},
     VT_BOOL, "Return"},
    {21, 211, kMethod, "DownloadFile", {{"URL", VT_BSTR}, {"FileName", VT_BSTR}}, VT_EMPTY, nullptr},
    {22, 212, kMethod, "DownloadData", {{"URL", VT_BSTR}}, VT_VARIANT, "Data"},
    {23, 213, kGet, "RequestMethod", {}, VT_BSTR, "Value"},
    {24, 213, kPut, "RequestMethod", {{"", VT_BSTR}}, VT_EMPTY, nullptr},
    {25, 214, kGet, "UserAgent", {}, VT_BSTR, "Value"},
    {26, 214, kPut, "UserAgent", {{"", VT_BSTR}}, VT_EMPTY, nullptr},
    {27, 215, kMethod, "VariantToString", {{"InVar", VT_VARIANT}}, VT_BSTR, "OutStr"},
    {28, 216, kGet, "DebugHTTP", {}, VT_BSTR, "Value"},
};

std::string Narrow(BSTR s) {
  std::string out;
  for (UINT i = 0; s && i < SysStringLen(s); ++i) out += static_cast<char>(s[i]);
  return out;
}

std::string Doc(ITypeInfo* info, MEMBERID id, bool helpString) {
  BSTR name = nullptr, doc = nullptr;
  EXPECT_EQ(S_OK, info->GetDocumentation(id, &name, &doc, nullptr, nullptr));
  std::string text = Narrow(helpString ? doc : name);
  SysFreeString(name);
  SysFreeString(doc);
  return text;
}

class TypeLibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, LoadTypeLibEx(L"velmora32.dll", REGKIND_NONE, &lib_));
  }
  void TearDown() override {
    if (lib_) lib_->Release();
  }

  // The dual interface as a vtable interface (the kind whose oVft is a slot).
  ITypeInfo* VtableInterface(const IID& iid) {
    ITypeInfo* dispatch = nullptr;
    EXPECT_EQ(S_OK, lib_->GetTypeInfoOfGuid(iid, &dispatch));
    HREFTYPE ref = 0;
    ITypeInfo* vtable = nullptr;
    EXPECT_EQ(S_OK, dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref));
    EXPECT_EQ(S_OK, dispatch->GetRefTypeInfo(ref, &vtable));
    dispatch->Release();
    return vtable;
  }

  void CheckInterface(const IID& iid, const char* name, const char* help, int slots,
                      const std::vector<Row>& rows) {
    ITypeInfo* dispatch = nullptr;
    ASSERT_EQ(S_OK, lib_->GetTypeInfoOfGuid(iid, &dispatch));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, dispatch->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
    // Wine's loader drops FOLEAUTOMATION from the dispatch view; the stored
    // flags are checked whole in StoredTypeFlags.
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE,
              attr->wTypeFlags & ~TYPEFLAG_FOLEAUTOMATION);
    EXPECT_EQ(3, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    dispatch->ReleaseTypeAttr(attr);
    EXPECT_EQ(name, Doc(dispatch, MEMBERID_NIL, false));
    EXPECT_EQ(help, Doc(dispatch, MEMBERID_NIL, true));
    dispatch->Release();

    ITypeInfo* info = VtableInterface(iid);
    ASSERT_NE(nullptr, info);
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);  // the loader derives the rest
    EXPECT_EQ(slots * kSlotSize, attr->cbSizeVft);
    ASSERT_EQ(rows.size(), attr->cFuncs);
    info->ReleaseTypeAttr(attr);

    // Derived from stdole2's IDispatch.
    HREFTYPE ref = 0;
    ITypeInfo* base = nullptr;
    ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &ref));
    ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, &base));
    ASSERT_EQ(S_OK, base->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(IID_IDispatch, attr->guid));
    base->ReleaseTypeAttr(attr);
    ITypeLib* stdole = nullptr;
    UINT index = 0;
    ASSERT_EQ(S_OK, base->GetContainingTypeLib(&stdole, &index));
    BSTR libName = nullptr;
    stdole->GetDocumentation(-1, &libName, nullptr, nullptr, nullptr);
    EXPECT_EQ("stdole", Narrow(libName));
    SysFreeString(libName);
    stdole->Release();
    base->Release();

    for (UINT i = 0; i < rows.size(); ++i) CheckRow(info, i, rows[i]);
    info->Release();
  }

  void CheckRow(ITypeInfo* info, UINT index, const Row& row) {
    SCOPED_TRACE(std::string(row.name) + " slot " + std::to_string(row.slot));
    FUNCDESC* f = nullptr;
    ASSERT_EQ(S_OK, info->GetFuncDesc(index, &f));
    EXPECT_EQ(row.slot, f->oVft / kSlotSize);
    EXPECT_EQ(row.dispid, f->memid);
    EXPECT_EQ(row.kind, f->invkind);
    EXPECT_EQ(FUNC_PUREVIRTUAL, f->funckind);
    EXPECT_EQ(CC_STDCALL, f->callconv);
    EXPECT_EQ(VT_HRESULT, f->elemdescFunc.tdesc.vt);
    EXPECT_EQ(0, f->wFuncFlags);  // nothing hidden or restricted
    EXPECT_EQ(0, f->cParamsOpt);
    const size_t total = row.params.size() + (row.result != VT_EMPTY ? 1 : 0);
    ASSERT_EQ(total, static_cast<size_t>(f->cParams));
    for (size_t p = 0; p < row.params.size(); ++p) {
      EXPECT_EQ(row.params[p].vt, f->lprgelemdescParam[p].tdesc.vt) << "parameter " << p;
      EXPECT_EQ(PARAMFLAG_FIN, f->lprgelemdescParam[p].paramdesc.wParamFlags) << "parameter " << p;
    }
    if (row.result != VT_EMPTY) {
      const ELEMDESC& r = f->lprgelemdescParam[row.params.size()];
      ASSERT_EQ(VT_PTR, r.tdesc.vt);
      EXPECT_EQ(row.result, r.tdesc.lptdesc->vt);
      EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, r.paramdesc.wParamFlags);
    }
    info->ReleaseFuncDesc(f);

    // The names (for a put, the names of the property: the value has none).
    BSTR names[8] = {};
    UINT count = 0;
    ASSERT_EQ(S_OK, info->GetNames(row.dispid, names, 8, &count));
    EXPECT_EQ(row.name, Narrow(names[0]));
    if (row.kind != kPut) {
      std::vector<std::string> expected{row.name};
      for (const Param& p : row.params) expected.push_back(p.name);
      if (row.resultName) expected.push_back(row.resultName);
      std::vector<std::string> actual;
      for (UINT n = 0; n < count; ++n) actual.push_back(Narrow(names[n]));
      EXPECT_EQ(expected, actual);
    }
    for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
  }

  void CheckCoclass(const CLSID& clsid, const char* name, const char* help, const IID& iid) {
    ITypeInfo* info = nullptr;
    ASSERT_EQ(S_OK, lib_->GetTypeInfoOfGuid(clsid, &info));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_COCLASS, attr->typekind);
    EXPECT_EQ(TYPEFLAG_FCANCREATE, attr->wTypeFlags);
    EXPECT_EQ(1, attr->cImplTypes);
    info->ReleaseTypeAttr(attr);
    EXPECT_EQ(name, Doc(info, MEMBERID_NIL, false));
    EXPECT_EQ(help, Doc(info, MEMBERID_NIL, true));
    INT flags = 0;
    ASSERT_EQ(S_OK, info->GetImplTypeFlags(0, &flags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags);
    HREFTYPE ref = 0;
    ITypeInfo* itf = nullptr;
    ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &ref));
    ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, &itf));
    ASSERT_EQ(S_OK, itf->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(iid, attr->guid));
    itf->ReleaseTypeAttr(attr);
    itf->Release();
    info->Release();
  }

  ITypeLib* lib_ = nullptr;
};

TEST_F(TypeLibTest, LibraryAttributes) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(S_OK, lib_->GetLibAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(kLibId, attr->guid));
  EXPECT_EQ(0x409u, attr->lcid);
  // The 64-bit DLL carries a library laid out for 64-bit Windows, which 64-bit
  // processes need and RegisterTypeLib files under "win64".
  EXPECT_EQ(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, attr->syskind);
  EXPECT_EQ(3, attr->wMajorVerNum);
  EXPECT_EQ(0, attr->wMinorVerNum);
  EXPECT_EQ(0, attr->wLibFlags & ~LIBFLAG_FHASDISKIMAGE);  // that one is the loader's
  lib_->ReleaseTLibAttr(attr);

  BSTR name = nullptr, doc = nullptr, helpFile = nullptr;
  ASSERT_EQ(S_OK, lib_->GetDocumentation(-1, &name, &doc, nullptr, &helpFile));
  EXPECT_EQ("Velmora32", Narrow(name));
  EXPECT_EQ("Velmora", Narrow(doc));
  EXPECT_EQ("", Narrow(helpFile));
  SysFreeString(name);
  SysFreeString(doc);
  SysFreeString(helpFile);
}

TEST_F(TypeLibTest, FourTypesInOrder) {
  ASSERT_EQ(4u, lib_->GetTypeInfoCount());
  const char* names[] = {"IProcess", "Process", "IHTTP", "HTTP"};
  const TYPEKIND kinds[] = {TKIND_DISPATCH, TKIND_COCLASS, TKIND_DISPATCH, TKIND_COCLASS};
  for (UINT i = 0; i < 4; ++i) {
    BSTR name = nullptr;
    ASSERT_EQ(S_OK, lib_->GetDocumentation(i, &name, nullptr, nullptr, nullptr));
    EXPECT_EQ(names[i], Narrow(name));
    SysFreeString(name);
    TYPEKIND kind;
    ASSERT_EQ(S_OK, lib_->GetTypeInfoType(i, &kind));
    EXPECT_EQ(kinds[i], kind);
  }
}

TEST_F(TypeLibTest, IProcessMembers) {
  CheckInterface(kIProcess, "IProcess", "Dispatch interface for Process Object", 63, kProcessRows);
}

TEST_F(TypeLibTest, IHTTPMembers) {
  CheckInterface(kIHTTP, "IHTTP", "Dispatch interface for HTTP Object", 29, kHTTPRows);
}

TEST_F(TypeLibTest, Coclasses) {
  CheckCoclass(kProcess, "Process", "Process Object", kIProcess);
  CheckCoclass(kHTTP, "HTTP", "HTTP Object", kIHTTP);
}

// The type flags as the resource stores them (MSFT format: the header, the
// type-info offsets, the segment directory whose first segment is the table of
// type-info records; a record's flags are at byte 48).
TEST(TypeLibResource, StoredTypeFlags) {
  HMODULE module = LoadLibraryExW(L"velmora32.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(nullptr, module);
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), L"TYPELIB");
  ASSERT_NE(nullptr, resource);
  const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(module, resource)));
  const DWORD size = SizeofResource(module, resource);
  auto at = [&](size_t offset) {
    EXPECT_LE(offset + 4, size);
    int32_t v;
    memcpy(&v, data + offset, 4);
    return v;
  };
  ASSERT_EQ(0, memcmp(data, "MSFT", 4));
  const int32_t varFlags = at(20), typeCount = at(32);
  ASSERT_EQ(4, typeCount);
  const size_t segments = 84 + ((varFlags & 0x100) ? 4 : 0) + 4 * typeCount;
  const size_t typeInfos = static_cast<size_t>(at(segments));
  const int32_t expected[] = {0x1140, TYPEFLAG_FCANCREATE, 0x1140, TYPEFLAG_FCANCREATE};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(expected[i], at(typeInfos + 0x64 * i + 48)) << i;
  FreeLibrary(module);
}

// A name that means two members: a read-only indexed property on IProcess,
// a read/write property without arguments on IHTTP.
TEST_F(TypeLibTest, TagNameDiffersBetweenInterfaces) {
  for (const auto& [iid, expected] : {std::pair{kIProcess, 234}, std::pair{kIHTTP, 206}}) {
    ITypeInfo* info = VtableInterface(iid);
    OLECHAR name[] = L"tagname";
    LPOLESTR names[] = {name};
    MEMBERID id = 0;
    EXPECT_EQ(S_OK, info->GetIDsOfNames(names, 1, &id));
    EXPECT_EQ(expected, id);
    info->Release();
  }
}

}  // namespace
