#include "ui/accessible_win.h"

#include <oleacc.h>

#include <atomic>

#include "common/dll_search_win.h"

namespace velmora::ui {
namespace {

// MSAA's entry points, from the system folder (oleacc.dll is not one of the KnownDLLs).
struct OleAcc {
    decltype(&::LresultFromObject) lresultFromObject = nullptr;
    decltype(&::CreateStdAccessibleObject) createStdAccessibleObject = nullptr;
};

const OleAcc& Api() {
    static const OleAcc api = [] {
        OleAcc loaded;
        if (const HMODULE module = win32::LoadSystemDll(L"oleacc.dll")) {
            loaded.lresultFromObject = reinterpret_cast<decltype(loaded.lresultFromObject)>(
                reinterpret_cast<void*>(GetProcAddress(module, "LresultFromObject")));
            loaded.createStdAccessibleObject =
                reinterpret_cast<decltype(loaded.createStdAccessibleObject)>(
                    reinterpret_cast<void*>(GetProcAddress(module, "CreateStdAccessibleObject")));
        }
        return loaded;
    }();
    return api;
}

// LiveSetting_Property_GUID (UI Automation), and its value Polite.
constexpr GUID kLiveSettingProperty{
    0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr long kPolite = 1;
// CLSID_AccPropServices and IID_IAccPropServices, here so that no import library is needed.
constexpr GUID kAccPropServicesClass{
    0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
constexpr GUID kAccPropServicesInterface{
    0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};

long RoleOf(AccessibleRole role) {
    switch (role) {
        case AccessibleRole::Button:
            return ROLE_SYSTEM_PUSHBUTTON;
        case AccessibleRole::CheckBox:
            return ROLE_SYSTEM_CHECKBUTTON;
        case AccessibleRole::ProgressBar:
            return ROLE_SYSTEM_PROGRESSBAR;
        case AccessibleRole::Text:
            break;
    }
    return ROLE_SYSTEM_STATICTEXT;
}

HRESULT Text(const std::wstring& text, BSTR* out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    *out = nullptr;
    if (text.empty()) {
        return S_FALSE;
    }
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// The client area's object; it also enumerates its children (IEnumVARIANT), which is how
// AccessibleChildren learns their child ids.
class ClientAccessible final : public IAccessible, public IEnumVARIANT {
  public:
    explicit ClientAccessible(std::shared_ptr<AccessibleLink> link, ULONG next = 0)
        : link_(std::move(link)), next_(next) {}

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (id == IID_IUnknown || id == IID_IDispatch || id == IID_IAccessible) {
            *out = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        if (id == IID_IEnumVARIANT) {
            *out = static_cast<IEnumVARIANT*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // IDispatch: MSAA clients use the IAccessible methods directly.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count != nullptr) {
            *count = 0;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

    // IAccessible
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
        if (parent == nullptr) {
            return E_INVALIDARG;
        }
        *parent = nullptr;
        if (link_->source == nullptr || Api().createStdAccessibleObject == nullptr) {
            return S_FALSE;
        }
        return Api().createStdAccessibleObject(link_->hwnd, OBJID_WINDOW, IID_IDispatch,
                                               reinterpret_cast<void**>(parent));
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override {
        if (count == nullptr) {
            return E_INVALIDARG;
        }
        *count = Alive() ? static_cast<long>(link_->source->Children().size()) : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
        if (out == nullptr) {
            return E_INVALIDARG;
        }
        *out = nullptr;
        return ItemOf(child) ? S_FALSE : E_INVALIDARG;  // the children are simple elements
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
        if (IsSelf(child)) {
            wchar_t title[256] = {};
            GetWindowTextW(link_->hwnd, title, 256);
            return Text(title, name);
        }
        const auto item = ItemOf(child);
        return item ? Text(item->name, name) : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
        if (IsSelf(child)) {
            return Text({}, value);
        }
        const auto item = ItemOf(child);
        return item ? Text(item->value, value) : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT, BSTR* out) override {
        return Text({}, out);
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
        if (role == nullptr) {
            return E_INVALIDARG;
        }
        VariantInit(role);
        role->vt = VT_I4;
        if (IsSelf(child)) {
            role->lVal = ROLE_SYSTEM_CLIENT;
            return S_OK;
        }
        const auto item = ItemOf(child);
        if (!item) {
            return E_INVALIDARG;
        }
        role->lVal = RoleOf(item->role);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
        if (state == nullptr) {
            return E_INVALIDARG;
        }
        VariantInit(state);
        state->vt = VT_I4;
        state->lVal = 0;
        if (IsSelf(child)) {
            state->lVal = STATE_SYSTEM_FOCUSABLE;
            return S_OK;
        }
        const auto item = ItemOf(child);
        if (!item) {
            return E_INVALIDARG;
        }
        if (item->Focusable()) {
            state->lVal |= STATE_SYSTEM_FOCUSABLE;
            if (link_->source->Focus() == child.lVal) {
                state->lVal |= STATE_SYSTEM_FOCUSED;
            }
        } else {
            state->lVal |= STATE_SYSTEM_READONLY;
        }
        if (item->checked) {
            state->lVal |= STATE_SYSTEM_CHECKED;
        }
        if (item->unavailable) {
            state->lVal |= STATE_SYSTEM_UNAVAILABLE;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT, BSTR* out) override { return Text({}, out); }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT, long* topic) override {
        if (file != nullptr) {
            *file = nullptr;
        }
        if (topic != nullptr) {
            *topic = 0;
        }
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT, BSTR* out) override {
        return Text({}, out);
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override {
        if (focus == nullptr) {
            return E_INVALIDARG;
        }
        VariantInit(focus);
        const auto focused = Alive() ? link_->source->Focus() : std::nullopt;
        if (!focused) {
            return S_FALSE;  // VT_EMPTY: not the focused foreground window
        }
        focus->vt = VT_I4;
        focus->lVal = *focused;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override {
        if (selection != nullptr) {
            VariantInit(selection);
        }
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override {
        const auto item = ItemOf(child);
        return Text(item ? DefaultActionOf(*item) : L"", action);
    }
    HRESULT STDMETHODCALLTYPE accSelect(long, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height,
                                          VARIANT child) override {
        if (left == nullptr || top == nullptr || width == nullptr || height == nullptr) {
            return E_INVALIDARG;
        }
        RECT screen{};
        if (IsSelf(child) && Alive()) {
            GetClientRect(link_->hwnd, &screen);
            MapWindowPoints(link_->hwnd, nullptr, reinterpret_cast<POINT*>(&screen), 2);
        } else if (const auto item = ItemOf(child)) {
            screen = link_->source->ToScreen(item->rect);
        } else {
            return E_INVALIDARG;
        }
        *left = screen.left;
        *top = screen.top;
        *width = screen.right - screen.left;
        *height = screen.bottom - screen.top;
        return S_OK;
    }
    // Logical order only (next, previous; first and last child from the client area): the
    // spatial directions are left to the system's own objects.
    HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* end) override {
        if (end == nullptr) {
            return E_INVALIDARG;
        }
        VariantInit(end);
        if (!Alive() || start.vt != VT_I4) {
            return E_INVALIDARG;
        }
        const std::vector<AccessibleChild> children = link_->source->Children();
        std::optional<std::size_t> at;
        for (std::size_t i = 0; i < children.size(); ++i) {
            if (children[i].child == start.lVal) {
                at = i;
            }
        }
        if (!IsSelf(start) && !at) {
            return E_INVALIDARG;
        }
        std::optional<std::size_t> to;
        if (IsSelf(start) && !children.empty()) {
            if (direction == NAVDIR_FIRSTCHILD) {
                to = 0;
            } else if (direction == NAVDIR_LASTCHILD) {
                to = children.size() - 1;
            }
        } else if (at) {
            if (direction == NAVDIR_NEXT && *at + 1 < children.size()) {
                to = *at + 1;
            } else if (direction == NAVDIR_PREVIOUS && *at > 0) {
                to = *at - 1;
            }
        }
        if (!to) {
            return S_FALSE;
        }
        end->vt = VT_I4;
        end->lVal = children[*to].child;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* hit) override {
        if (hit == nullptr) {
            return E_INVALIDARG;
        }
        VariantInit(hit);
        if (!Alive()) {
            return S_FALSE;
        }
        const std::vector<AccessibleChild> children = link_->source->Children();
        for (std::size_t i = children.size(); i-- > 0;) {  // controls come last, and win
            const RECT r = link_->source->ToScreen(children[i].item.rect);
            if (x >= r.left && x < r.right && y >= r.top && y < r.bottom) {
                hit->vt = VT_I4;
                hit->lVal = children[i].child;
                return S_OK;
            }
        }
        hit->vt = VT_I4;
        hit->lVal = CHILDID_SELF;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        const auto item = ItemOf(child);
        if (!item || !item->Focusable() || item->unavailable) {
            return item ? DISP_E_MEMBERNOTFOUND : E_INVALIDARG;
        }
        link_->source->RequestPress(child.lVal);
        return S_OK;
    }

    // IEnumVARIANT: the child ids in reading order.
    HRESULT STDMETHODCALLTYPE Next(ULONG wanted, VARIANT* out, ULONG* fetched) override {
        if (out == nullptr) {
            return E_INVALIDARG;
        }
        const std::vector<AccessibleChild> children =
            Alive() ? link_->source->Children() : std::vector<AccessibleChild>{};
        ULONG given = 0;
        for (; given < wanted && next_ < children.size(); ++given, ++next_) {
            VariantInit(&out[given]);
            out[given].vt = VT_I4;
            out[given].lVal = children[next_].child;
        }
        if (fetched != nullptr) {
            *fetched = given;
        }
        return given == wanted ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        const std::size_t size = Alive() ? link_->source->Children().size() : 0;
        next_ += count;
        return next_ <= size ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        next_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = new ClientAccessible(link_, next_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

  private:
    bool Alive() const { return link_->source != nullptr; }
    static bool IsSelf(const VARIANT& child) {
        return child.vt == VT_I4 && child.lVal == CHILDID_SELF;
    }
    std::optional<AccessibleItem> ItemOf(const VARIANT& child) const {
        if (!Alive() || child.vt != VT_I4 || child.lVal <= 0) {
            return std::nullopt;
        }
        for (AccessibleChild& each : link_->source->Children()) {
            if (each.child == child.lVal) {
                return std::move(each.item);
            }
        }
        return std::nullopt;
    }

    std::shared_ptr<AccessibleLink> link_;
    ULONG next_ = 0;  // the enumeration's place
    std::atomic<ULONG> references_{1};
};

}  // namespace

IAccessible* CreateClientAccessible(std::shared_ptr<AccessibleLink> link) {
    return new ClientAccessible(std::move(link));
}

LRESULT AnswerGetObject(const std::shared_ptr<AccessibleLink>& link, WPARAM wParam) {
    if (Api().lresultFromObject == nullptr) {
        return 0;
    }
    IAccessible* object = CreateClientAccessible(link);
    const LRESULT result = Api().lresultFromObject(IID_IAccessible, wParam, object);
    object->Release();  // LresultFromObject holds its own reference while it is asked for
    return result;
}

const wchar_t* DefaultActionOf(const AccessibleItem& item) {
    switch (item.role) {
        case AccessibleRole::CheckBox:
            return item.checked ? L"Desmarcar" : L"Marcar";
        case AccessibleRole::Button:
            return L"Pressionar";
        case AccessibleRole::Text:
        case AccessibleRole::ProgressBar:
            break;
    }
    return L"";
}

bool MarkLiveRegion(HWND hwnd, long child) {
    IAccPropServices* services = nullptr;
    if (FAILED(CoCreateInstance(kAccPropServicesClass, nullptr, CLSCTX_INPROC_SERVER,
                                kAccPropServicesInterface, reinterpret_cast<void**>(&services))) ||
        services == nullptr) {
        return false;
    }
    VARIANT polite;
    VariantInit(&polite);
    polite.vt = VT_I4;
    polite.lVal = kPolite;
    const HRESULT result =
        services->SetHwndProp(hwnd, static_cast<DWORD>(OBJID_CLIENT), static_cast<DWORD>(child),
                              kLiveSettingProperty, polite);
    services->Release();
    return SUCCEEDED(result);
}

void NotifyChild(HWND hwnd, DWORD event, long child) {
    NotifyWinEvent(event, hwnd, OBJID_CLIENT, child);
}

}  // namespace velmora::ui
