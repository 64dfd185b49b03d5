#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>

#include "com/dispatch.h"
#include "com/error_info.h"
#include "com/values.h"

namespace {

ITypeInfo* const kSentinel = reinterpret_cast<ITypeInfo*>(0x5A5A5A5A);

// A real type information to cache: IDispatch's, from the system's stdole2.tlb.
HRESULT LoadDispatchInfo(ITypeInfo** out) {
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLib(L"stdole2.tlb", &lib);
  if (FAILED(hr)) return hr;
  hr = lib->GetTypeInfoOfGuid(IID_IDispatch, out);
  lib->Release();
  return hr;
}

TEST(CachedTypeInfo, LoadsOnceAndHandsOutTheSameInformation) {
  com::CachedTypeInfo cache;
  int loads = 0;
  auto load = [&](ITypeInfo** out) {
    ++loads;
    return LoadDispatchInfo(out);
  };
  ITypeInfo* first = kSentinel;
  ITypeInfo* second = kSentinel;
  ASSERT_EQ(cache.Get(load, &first), S_OK);
  ASSERT_EQ(cache.Get(load, &second), S_OK);
  EXPECT_EQ(loads, 1);
  ASSERT_NE(first, kSentinel);
  EXPECT_EQ(first, second);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(first->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, IID_IDispatch));
  first->ReleaseTypeAttr(attr);
}

TEST(CachedTypeInfo, AFailedLoadIsReturnedAndTriedAgain) {
  com::CachedTypeInfo cache;
  ITypeInfo* info = kSentinel;
  EXPECT_EQ(cache.Get([](ITypeInfo**) { return TYPE_E_CANTLOADLIBRARY; }, &info), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(info, kSentinel);
  int loads = 0;
  auto load = [&](ITypeInfo** out) {
    ++loads;
    return LoadDispatchInfo(out);
  };
  ASSERT_EQ(cache.Get(load, &info), S_OK);
  EXPECT_NE(info, kSentinel);
  EXPECT_EQ(loads, 1);
}

// An automation object over IDispatch's own type information, counting its
// destruction.
template <class Aggregation>
class Probe : public com::DispatchObject<IDispatch, Aggregation> {
 public:
  explicit Probe(int* destroyed) : destroyed_(destroyed) {}
  Probe(int* destroyed, IUnknown* outer) : com::DispatchObject<IDispatch, Aggregation>(outer), destroyed_(destroyed) {}

 private:
  const IID& DualIid() const override { return IID_IDispatch; }
  HRESULT DualTypeInfo(ITypeInfo** borrowed) override {
    static com::CachedTypeInfo cache;
    return cache.Get(LoadDispatchInfo, borrowed);
  }
  void Destroy() override {
    ++*destroyed_;
    delete this;
  }
  int* destroyed_;
};

TEST(DispatchObject, AStandaloneObjectIsItsOwnIdentity) {
  int destroyed = 0;
  auto* probe = new Probe<com::Standalone>(&destroyed);
  IDispatch* dispatch = probe;
  IUnknown* identity = nullptr;
  ASSERT_EQ(dispatch->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(dispatch));
  EXPECT_EQ(probe->InnerUnknown()->Release(), 1u);  // the QueryInterface's reference

  ISupportErrorInfo* support = nullptr;
  ASSERT_EQ(dispatch->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IClassFactory), S_FALSE);
  support->Release();

  void* none = kSentinel;
  EXPECT_EQ(dispatch->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  UINT count = 0;
  EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ITypeInfo* info = kSentinel;
  EXPECT_EQ(dispatch->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
  EXPECT_EQ(info, nullptr);
  ASSERT_EQ(dispatch->GetTypeInfo(0, 0, &info), S_OK);
  info->Release();

  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(dispatch->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
}

// The controlling unknown of an aggregate: answers every query with itself
// and counts what reaches it.
struct Outer : IUnknown {
  int queries = 0;
  ULONG refs = 1;
  STDMETHODIMP QueryInterface(REFIID, void** out) override { return ++queries, *out = this, S_OK; }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
};

TEST(DispatchObject, AnAggregatedObjectDelegatesToItsOuterUnknown) {
  int destroyed = 0;
  Outer outer;
  auto* probe = new Probe<com::Aggregatable>(&destroyed, &outer);
  IUnknown* inner = probe->InnerUnknown();

  // The inner unknown answers for the object and keeps its count.
  IDispatch* dispatch = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
  EXPECT_EQ(dispatch, static_cast<IDispatch*>(probe));
  EXPECT_EQ(outer.refs, 2u) << "the interface's AddRef went to the outer unknown";
  IUnknown* identity = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, inner);
  EXPECT_EQ(inner->Release(), 1u);

  // Every other interface's IUnknown is the outer object's.
  void* got = nullptr;
  EXPECT_EQ(dispatch->QueryInterface(IID_IUnknown, &got), S_OK);
  EXPECT_EQ(got, static_cast<void*>(&outer));
  EXPECT_EQ(outer.queries, 1);
  dispatch->Release();
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(inner->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
}

TEST(ByteArrays, MadeWithTheirBoundsAndReadBack) {
  const uint8_t bytes[] = {0, 1, 0x7F, 0xFF};
  const struct {
    size_t size;
    LONG lower;
  } cases[] = {{4, 1}, {4, 0}, {1, 1}, {0, 1}, {0, 0}};
  for (const auto& c : cases) {
    com::Variant v;
    int fills = 0;
    ASSERT_EQ(com::NewByteArray(c.size, c.lower, v.get(),
                                [&](void* data) {
                                  ++fills;
                                  std::memcpy(data, bytes, c.size);
                                }),
              S_OK);
    ASSERT_EQ(V_VT(v.get()), VT_ARRAY | VT_UI1);
    EXPECT_EQ(fills, c.size > 0 ? 1 : 0);
    LONG lower = -7, upper = -7;
    SafeArrayGetLBound(V_ARRAY(v.get()), 1, &lower);
    SafeArrayGetUBound(V_ARRAY(v.get()), 1, &upper);
    EXPECT_EQ(lower, c.lower) << c.size;
    EXPECT_EQ(upper, c.lower + static_cast<LONG>(c.size) - 1) << c.size;

    com::ArrayBytes read(V_ARRAY(v.get()));
    ASSERT_TRUE(read.valid());
    EXPECT_EQ(read.lowerBound(), c.lower);
    ASSERT_EQ(read.size(), c.size);
    EXPECT_EQ(std::memcmp(read.data(), bytes, c.size), 0);
  }
}

TEST(ByteArrays, ASizePastALongBoundIsRefused) {
  VARIANT v;
  VariantInit(&v);
  const size_t tooMany = static_cast<size_t>(MAXLONG) + 1;
  EXPECT_EQ(com::NewByteArray(tooMany, 1, &v, [](void*) { FAIL() << "nothing to fill"; }), E_OUTOFMEMORY);
  EXPECT_EQ(V_VT(&v), VT_EMPTY);
}

TEST(ByteArrays, OnlyOneDimensionalArraysOfOneByteElementsAreRead) {
  EXPECT_FALSE(com::ArrayBytes(nullptr).valid());

  SAFEARRAY* signedBytes = SafeArrayCreateVector(VT_I1, 0, 3);
  EXPECT_TRUE(com::ArrayBytes(signedBytes).valid());
  SafeArrayDestroy(signedBytes);

  SAFEARRAY* longs = SafeArrayCreateVector(VT_I4, 0, 3);
  EXPECT_FALSE(com::ArrayBytes(longs).valid());
  SafeArrayDestroy(longs);

  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  SAFEARRAY* square = SafeArrayCreate(VT_UI1, 2, bounds);
  EXPECT_FALSE(com::ArrayBytes(square).valid());
  SafeArrayDestroy(square);
}

constexpr size_t kBlock = 102400;

// A block as BinaryRead delivers it: a new array of kBlock bytes, written.
void MakeBlock(com::Variant& v) {
  ASSERT_EQ(com::NewByteArray(kBlock, 0, v.get(), [](void* data) { std::memset(data, 1, kBlock); }), S_OK);
}

const uint8_t* LastByte(com::Variant& v) {
  return static_cast<const uint8_t*>(V_ARRAY(v.get())->pvData) + kBlock - 1;
}

bool Committed(const void* p) {
  MEMORY_BASIC_INFORMATION info;
  return VirtualQuery(p, &info, sizeof info) == sizeof info && info.State == MEM_COMMIT;
}

TEST(HighestArray, KeepsOnlyTheHighestOfTheArraysOffered) {
  com::Variant made[4];
  for (com::Variant& block : made) MakeBlock(block);
  // blocks[i]: the i-th lowest in memory.
  com::Variant* blocks[4] = {&made[0], &made[1], &made[2], &made[3]};
  std::sort(std::begin(blocks), std::end(blocks), [](com::Variant* a, com::Variant* b) {
    return std::less<const void*>()(V_ARRAY(a->get())->pvData, V_ARRAY(b->get())->pvData);
  });
  SAFEARRAY* arrays[4];
  for (int i = 0; i < 4; ++i) arrays[i] = V_ARRAY(blocks[i]->get());

  com::HighestArray highest;
  // Offered in this order; whether each is taken, and what is kept after it.
  const struct {
    int offered;
    bool taken;
    int kept;
  } steps[] = {{1, true, 1}, {0, false, 1}, {3, true, 3}, {2, false, 3}};
  for (const auto& step : steps) {
    highest.offer(blocks[step.offered]->get());
    EXPECT_EQ(V_VT(blocks[step.offered]->get()) == VT_EMPTY, step.taken) << step.offered;
    EXPECT_EQ(highest.kept(), arrays[step.kept]) << step.offered;
  }

  com::Variant text;
  V_VT(text.get()) = VT_BSTR;
  V_BSTR(text.get()) = SysAllocString(L"not bytes");
  highest.offer(text.get());
  EXPECT_EQ(V_VT(text.get()), VT_BSTR);
  EXPECT_EQ(highest.kept(), arrays[3]);
}

// What the keeper is for: where the heap gives back the memory past a block
// freed at its end, blocks freed below the kept one stay committed.
TEST(HighestArray, BlocksFreedBelowItStayCommitted) {
  // Blocks in use fill the room the heap has free, so that the next ones
  // come at its end.
  com::Variant filling[64];
  for (com::Variant& block : filling) MakeBlock(block);

  bool trimmed = false;
  for (int i = 0; i < 8; ++i) {
    com::Variant block;
    MakeBlock(block);
    const uint8_t* last = LastByte(block);
    VariantClear(block.get());
    trimmed = trimmed || !Committed(last);
  }
  if (!trimmed) GTEST_SKIP() << "this process's heap keeps freed blocks committed";

  com::HighestArray highest;
  int freed = 0;
  for (int i = 0; i < 8; ++i) {
    com::Variant block;
    MakeBlock(block);
    const uint8_t* last = LastByte(block);
    highest.offer(block.get());
    if (V_VT(block.get()) == VT_EMPTY) continue;
    VariantClear(block.get());
    ++freed;
    EXPECT_TRUE(Committed(last)) << "block " << i;
  }
  EXPECT_GT(freed, 0);
}

TEST(ErrorInfo, CarriesWhatTheCallerNeeds) {
  const struct {
    const wchar_t* source;
    const wchar_t* description;
    DWORD helpContext;
  } cases[] = {{L"Velmora32.Process", L"Stream read error", 0}, {L"", L"No source", 42}, {nullptr, L"", 0}};
  for (const auto& c : cases) {
    SetErrorInfo(0, nullptr);
    ASSERT_TRUE(com::SetErrorInfoFor(IID_IDispatch, c.source, c.description, c.helpContext));
    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    GUID guid = GUID_NULL;
    info->GetGUID(&guid);
    EXPECT_TRUE(IsEqualGUID(guid, IID_IDispatch));
    com::Bstr source, description;
    info->GetSource(source.out());
    info->GetDescription(description.out());
    auto text = [](const com::Bstr& b) { return std::wstring(b.get() ? b.get() : L"", b.length()); };
    EXPECT_EQ(text(source), c.source ? c.source : L"");
    EXPECT_EQ(text(description), c.description);
    DWORD helpContext = 7;
    info->GetHelpContext(&helpContext);
    EXPECT_EQ(helpContext, c.helpContext);
    info->Release();
  }
}

}  // namespace
