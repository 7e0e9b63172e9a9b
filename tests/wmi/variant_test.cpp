#include <gtest/gtest.h>
#include <wbemidl.h>

#include <string>

#include "wmi/comobject.h"

namespace {

TEST(Bstr, KeepsLengthIncludingEmbeddedNul) {
    const char16_t text[] = {u'a', u'\0', u'b'};
    BSTR s = SysAllocStringLen(text, 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(s[2], u'b');
    EXPECT_EQ(s[3], u'\0');
    SysFreeString(s);

    BSTR plain = SysAllocString(u"hello");
    EXPECT_EQ(SysStringLen(plain), 5u);
    SysFreeString(plain);

    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    SysFreeString(nullptr);
}

TEST(Bstr, ConvertsUtf8BothWays) {
    const std::string text = "Ereignisanzeige \xC3\xBC \xF0\x9F\x98\x80";
    BSTR s = wmi::BstrFromUtf8(text);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 20u);  // the emoji takes two UTF-16 units
    EXPECT_EQ(wmi::Utf8FromBstr(s), text);
    SysFreeString(s);

    // ASCII alone, and the empty text: a string of that length, not null.
    for (const char* ascii : {"Service Control Manager", ""}) {
        BSTR plain = wmi::BstrFromUtf8(ascii);
        ASSERT_NE(plain, nullptr) << ascii;
        EXPECT_EQ(SysStringLen(plain), std::string(ascii).size()) << ascii;
        EXPECT_EQ(plain[SysStringLen(plain)], u'\0') << ascii;
        EXPECT_EQ(wmi::Utf8FromBstr(plain), ascii);
        SysFreeString(plain);
    }

    // An invalid sequence becomes U+FFFD; the rest of the text stays.
    BSTR invalid = wmi::BstrFromUtf8("bad \xC3 rest");
    ASSERT_NE(invalid, nullptr);
    EXPECT_EQ(std::u16string(invalid, SysStringLen(invalid)), u"bad \uFFFD rest");
    SysFreeString(invalid);
}

TEST(SafeArray, BoundsElementsAndCopies) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 2);
    ASSERT_NE(array, nullptr);
    BSTR first = SysAllocString(u"one");
    LONG index = 0;
    ASSERT_EQ(SafeArrayPutElement(array, &index, first), S_OK);
    SysFreeString(first);  // the array keeps its own copy

    LONG lower = -1, upper = -1;
    EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 1);
    EXPECT_EQ(SafeArrayGetLBound(array, 2, &lower), E_INVALIDARG);

    BSTR got = nullptr;
    ASSERT_EQ(SafeArrayGetElement(array, &index, &got), S_OK);
    EXPECT_EQ(wmi::Utf8FromBstr(got), "one");
    SysFreeString(got);
    index = 1;
    ASSERT_EQ(SafeArrayGetElement(array, &index, &got), S_OK);
    EXPECT_EQ(got, nullptr);  // never set
    index = 2;
    EXPECT_EQ(SafeArrayGetElement(array, &index, &got), E_INVALIDARG);
    index = -1;
    EXPECT_EQ(SafeArrayGetElement(array, &index, &got), E_INVALIDARG);

    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
    EXPECT_EQ(wmi::Utf8FromBstr(static_cast<BSTR*>(data)[0]), "one");
    EXPECT_EQ(SafeArrayDestroy(array), E_FAIL) << "destroyed while accessed";
    ASSERT_EQ(SafeArrayUnaccessData(array), S_OK);
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);

    SAFEARRAY* empty = SafeArrayCreateVector(VT_BSTR, 0, 0);
    ASSERT_EQ(SafeArrayGetUBound(empty, 1, &upper), S_OK);
    EXPECT_EQ(upper, -1);
    SafeArrayDestroy(empty);
}

class Counted : public wmi::ComObject<IWbemClassObject> {
  public:
    explicit Counted(int* destroyed) : destroyed(destroyed) {}
    ~Counted() override { ++*destroyed; }
    HRESULT Get(LPCWSTR, LONG, VARIANT*, CIMTYPE*, LONG*) override { return WBEM_E_NOT_FOUND; }

  protected:
    const IID& InterfaceId() const override { return IID_IWbemClassObject; }

  private:
    int* destroyed;
};

TEST(Variant, ClearReleasesWhatTheValueOwns) {
    int destroyed = 0;
    VARIANT value;
    VariantInit(&value);
    EXPECT_EQ(value.vt, VT_EMPTY);
    value.vt = VT_UNKNOWN;
    value.punkVal = new Counted(&destroyed);
    EXPECT_EQ(VariantClear(&value), S_OK);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(value.vt, VT_EMPTY);

    value.vt = VT_ARRAY | VT_BSTR;
    value.parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
    LONG index = 0;
    BSTR element = SysAllocString(u"x");
    SafeArrayPutElement(value.parray, &index, element);
    SysFreeString(element);
    EXPECT_EQ(VariantClear(&value), S_OK);  // leak-checked under ASan

    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(u"text");
    EXPECT_EQ(VariantClear(&value), S_OK);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(ComObject, QueryInterfaceAndReferenceCounting) {
    int destroyed = 0;
    auto* object = new Counted(&destroyed);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    IWbemServices* wrong = nullptr;
    EXPECT_EQ(object->QueryInterface(IID_IWbemServices, reinterpret_cast<void**>(&wrong)),
              E_NOINTERFACE);
    EXPECT_EQ(wrong, nullptr);
    EXPECT_EQ(object->Release(), 1u);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(unknown->Release(), 0u);
    EXPECT_EQ(destroyed, 1);
}

}  // namespace
