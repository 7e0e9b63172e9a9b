#include "wmi/sim/newestfirst.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "wmi/comobject.h"

namespace wmi::sim {
namespace {

// Objects read from the answer per Next.
constexpr ULONG kBatch = 50;

// A finished result set in a fixed order. Next is called by one thread at a
// time, as for every enumerator.
class ListEnumerator : public ComObject<IEnumWbemClassObject> {
  public:
    explicit ListEnumerator(std::vector<IWbemClassObject*> list) : objects(std::move(list)) {}

    HRESULT Next(LONG, ULONG count, IWbemClassObject** out, ULONG* returned) override {
        if (out == nullptr || returned == nullptr) return WBEM_E_INVALID_PARAMETER;
        ULONG n = 0;
        while (n < count && at < objects.size()) out[n++] = objects[at++];
        *returned = n;
        return n == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }

  protected:
    ~ListEnumerator() override {
        for (size_t i = at; i < objects.size(); ++i) objects[i]->Release();
    }
    const IID& InterfaceId() const override { return IID_IEnumWbemClassObject; }

  private:
    std::vector<IWbemClassObject*> objects;
    size_t at = 0;
};

}  // namespace

HRESULT NewestFirst(IEnumWbemClassObject* answer, LONG timeoutMs, IEnumWbemClassObject** reversed) {
    std::vector<IWbemClassObject*> all;
    HRESULT hr = WBEM_S_NO_ERROR;
    while (hr == WBEM_S_NO_ERROR) {
        IWbemClassObject* batch[kBatch] = {};
        ULONG returned = 0;
        hr = answer->Next(timeoutMs, kBatch, batch, &returned);
        all.insert(all.end(), batch, batch + returned);
    }
    if (hr != WBEM_S_FALSE) {
        for (IWbemClassObject* object : all) object->Release();
        return FAILED(hr) ? hr : WBEM_E_FAILED;
    }
    std::reverse(all.begin(), all.end());
    *reversed = new ListEnumerator(std::move(all));
    return S_OK;
}

}  // namespace wmi::sim
