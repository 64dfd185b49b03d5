// The version resource of velmora32.dll as Explorer's properties and
// installers read it (version.dll), and the Version text of the same file.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dll/velmora32_idl.h"
#include "velmora_version.h"

namespace {

const wchar_t kDll[] = L"velmora32.dll";

std::string Narrow(const wchar_t* s) {
  std::string out;
  for (; s && *s; ++s) out += static_cast<char>(*s);
  return out;
}

class VersionResource : public ::testing::Test {
 protected:
  void SetUp() override {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(kDll, &ignored);
    ASSERT_NE(0u, size) << "no version resource, error " << GetLastError();
    block_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoW(kDll, 0, size, block_.data()));
  }

  // A value of the U.S. English, Unicode string table, or "<none>".
  std::string String(const wchar_t* name) {
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    wchar_t* text = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block_.data(), path.c_str(), reinterpret_cast<void**>(&text), &length)) {
      return "<none>";
    }
    return Narrow(text);
  }

  std::vector<BYTE> block_;
};

std::string Dotted(DWORD high, DWORD low) {
  return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." +
         std::to_string(HIWORD(low)) + "." + std::to_string(LOWORD(low));
}

TEST_F(VersionResource, FixedNumbersAreTheProductVersion) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_EQ(sizeof(VS_FIXEDFILEINFO), length);
  EXPECT_EQ(VS_FFI_SIGNATURE, fixed->dwSignature);
  EXPECT_EQ(VELMORA_VERSION, Dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS));
  EXPECT_EQ(VELMORA_VERSION, Dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS));
  EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);
  EXPECT_EQ(0u, fixed->dwFileFlags & fixed->dwFileFlagsMask) << "debug, pre-release or patched";
}

TEST_F(VersionResource, Strings) {
  EXPECT_EQ(VELMORA_VERSION, String(L"FileVersion"));
  EXPECT_EQ(VELMORA_VERSION, String(L"ProductVersion"));
  EXPECT_EQ("Velmora32", String(L"ProductName"));
  // Inventory tools group files by their company: a neutral project name.
  EXPECT_EQ("Velmora32 project", String(L"CompanyName"));
  EXPECT_EQ("velmora32.dll", String(L"OriginalFilename"));
  EXPECT_EQ("velmora32", String(L"InternalName"));
  EXPECT_EQ("Copyright (C) the Velmora32 authors", String(L"LegalCopyright"));
  // Two files of one name: the description tells an administrator which.
  EXPECT_EQ(sizeof(void*) == 8
                ? "Velmora32 upload and HTTP client component for classic ASP (64-bit)"
                : "Velmora32 upload and HTTP client component for classic ASP (32-bit)",
            String(L"FileDescription"));
}

// The resource and the Version text that scripts read name the same number.
TEST(VersionText, NamesTheResourceVersion) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  HMODULE module = LoadLibraryW(kDll);
  ASSERT_NE(nullptr, module);
  using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  ASSERT_NE(nullptr, getClassObject);
  IClassFactory* factory = nullptr;
  ASSERT_EQ(S_OK,
            getClassObject(CLSID_Process, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
  IProcess* process = nullptr;
  ASSERT_EQ(S_OK,
            factory->CreateInstance(nullptr, IID_IProcess, reinterpret_cast<void**>(&process)));
  BSTR text = nullptr;
  ASSERT_EQ(S_OK, process->get_Version(&text));
  EXPECT_EQ(std::string("Velmora Upload Component ") + VELMORA_VERSION +
                (sizeof(void*) == 8 ? " (64 bit)" : " (32 bit)"),
            Narrow(text));
  SysFreeString(text);
  process->Release();
  factory->Release();
  CoUninitialize();
}

}  // namespace
