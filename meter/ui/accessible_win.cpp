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

// Event ids newer than some headers.
constexpr DWORD kLiveRegionChanged = 0x8019;  // EVENT_OBJECT_LIVEREGIONCHANGED

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

class ClientAccessible final : public IAccessible {
  public:
    explicit ClientAccessible(std::shared_ptr<AccessibleLink> link) : link_(std::move(link)) {}

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
        *count = Alive() ? static_cast<long>(link_->source->Items().size()) : 0;
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
            if (link_->source->FocusedItem() == static_cast<std::size_t>(child.lVal - 1)) {
                state->lVal |= STATE_SYSTEM_FOCUSED;
            }
        } else {
            state->lVal |= STATE_SYSTEM_READONLY;
        }
        if (item->checked) {
            state->lVal |= STATE_SYSTEM_CHECKED;
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
        const auto focused = Alive() ? link_->source->FocusedItem() : std::nullopt;
        if (!focused) {
            focus->vt = VT_I4;
            focus->lVal = CHILDID_SELF;
            return GetFocus() == link_->hwnd ? S_OK : S_FALSE;
        }
        focus->vt = VT_I4;
        focus->lVal = static_cast<long>(*focused + 1);
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
        return Text(item && item->Focusable() ? L"Pressionar" : L"", action);
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
    HRESULT STDMETHODCALLTYPE accNavigate(long, VARIANT, VARIANT* end) override {
        if (end != nullptr) {
            VariantInit(end);
        }
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* hit) override {
        if (hit == nullptr) {
            return E_INVALIDARG;
        }
        VariantInit(hit);
        if (!Alive()) {
            return S_FALSE;
        }
        const std::vector<AccessibleItem> items = link_->source->Items();
        for (std::size_t i = items.size(); i-- > 0;) {  // controls come last, and win
            const RECT r = link_->source->ToScreen(items[i].rect);
            if (x >= r.left && x < r.right && y >= r.top && y < r.bottom) {
                hit->vt = VT_I4;
                hit->lVal = static_cast<long>(i + 1);
                return S_OK;
            }
        }
        hit->vt = VT_I4;
        hit->lVal = CHILDID_SELF;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        const auto item = ItemOf(child);
        if (!item || !item->Focusable()) {
            return item ? DISP_E_MEMBERNOTFOUND : E_INVALIDARG;
        }
        link_->source->RequestPress(static_cast<std::size_t>(child.lVal - 1));
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
        std::vector<AccessibleItem> items = link_->source->Items();
        const auto index = static_cast<std::size_t>(child.lVal - 1);
        if (index >= items.size()) {
            return std::nullopt;
        }
        return std::move(items[index]);
    }

    std::shared_ptr<AccessibleLink> link_;
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

void AnnounceNameChange(HWND hwnd, std::size_t item) {
    const auto child = static_cast<LONG>(item + 1);
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, hwnd, OBJID_CLIENT, child);
    NotifyWinEvent(kLiveRegionChanged, hwnd, OBJID_CLIENT, child);
}

void AnnounceFocus(HWND hwnd, std::size_t item) {
    NotifyWinEvent(EVENT_OBJECT_FOCUS, hwnd, OBJID_CLIENT, static_cast<LONG>(item + 1));
}

}  // namespace velmora::ui
