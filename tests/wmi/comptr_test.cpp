// ComPtr against an object that counts its references: each way of taking,
// sharing, handing over and dropping a reference leaves the count where a
// hand-written AddRef/Release would, and the object goes exactly once.
#include "wmi/comptr.h"

#include <gtest/gtest.h>

#include <utility>

#include "wmi/comobject.h"

namespace {

class Counted : public wmi::ComObject<IWbemClassObject> {
  public:
    explicit Counted(int* destroyed) : destroyed(destroyed) {}
    HRESULT Get(LPCWSTR, LONG, VARIANT*, CIMTYPE*, LONG*) override { return WBEM_E_NOT_FOUND; }

  protected:
    ~Counted() override { ++*destroyed; }
    const IID& InterfaceId() const override { return IID_IWbemClassObject; }

  private:
    int* destroyed;
};

// The object's reference count, read by one AddRef/Release pair.
ULONG Count(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

using Ptr = wmi::ComPtr<IWbemClassObject>;

TEST(ComPtr, CopiesMovesAndResetsKeepTheCountRight) {
    int destroyed = 0;
    IWbemClassObject* raw = new Counted(&destroyed);  // one reference, ours
    {
        Ptr adopted = Ptr::Adopt(raw);  // takes ours over
        EXPECT_EQ(Count(raw), 1u);
        Ptr shared(raw);  // a reference of its own
        EXPECT_EQ(Count(raw), 2u);
        Ptr copy = shared;
        EXPECT_EQ(Count(raw), 3u);
        Ptr moved = std::move(copy);
        EXPECT_EQ(Count(raw), 3u);
        EXPECT_FALSE(copy);  // NOLINT(bugprone-use-after-move): emptied on purpose
        moved = shared;      // the same object again
        EXPECT_EQ(Count(raw), 3u);
        moved.Reset();
        EXPECT_EQ(Count(raw), 2u);
        IWbemClassObject* detached = shared.Detach();
        EXPECT_EQ(Count(raw), 2u);
        detached->Release();
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);
}

TEST(ComPtr, OutParametersReleaseWhatWasHeldFirst) {
    int destroyed = 0;
    Ptr held = Ptr::Adopt(new Counted(&destroyed));
    // A call that stores a new reference: the old one goes first.
    *held.ReleaseAndGetAddressOf() = new Counted(&destroyed);
    EXPECT_EQ(destroyed, 1);

    wmi::ComPtr<IUnknown> unknown;
    EXPECT_EQ(held.QueryInterface(IID_IUnknown, &unknown), S_OK);
    EXPECT_EQ(Count(unknown.Get()), 2u);
    wmi::ComPtr<IWbemServices> wrong;
    EXPECT_EQ(held.QueryInterface(IID_IWbemServices, &wrong), E_NOINTERFACE);
    EXPECT_FALSE(wrong);
    EXPECT_EQ(Ptr().QueryInterface(IID_IUnknown, &unknown), E_POINTER);
    EXPECT_FALSE(unknown);  // emptied before the call
    held.Reset();
    EXPECT_EQ(destroyed, 2);
}

}  // namespace
