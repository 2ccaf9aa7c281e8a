// A screen reader's view of a window, for the tests under Wine: finds the top-level window by
// its title, reads its client area's MSAA tree (AccessibleObjectFromWindow) and prints one line
// per child, "role|name|value|state" (role and state as numbers); with "press NAME" it also
// calls the default action of the child of that name.
//
//   velmora_accessibility_probe.exe TITLE [press NAME]

#include <windows.h>
// After windows.h, which it needs.
#include <oleacc.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const wchar_t* text, int length = -1) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
    if (length < 0 && !out.empty()) {
        out.pop_back();
    }
    return out;
}

// A text the object hands out through `ask` (its HRESULT and BSTR), freed. The call is made
// before the BSTR is read: as two arguments of one call, the order would be the compiler's.
template <typename Ask>
std::string Text(Ask ask) {
    BSTR text = nullptr;
    const HRESULT result = ask(&text);
    std::string out = SUCCEEDED(result) && text ? Utf8(text, static_cast<int>(SysStringLen(text)))
                                                : std::string();
    SysFreeString(text);
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: TITLE [press NAME]\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HWND window = nullptr;
    for (int i = 0; i < 100 && window == nullptr; ++i) {
        window = FindWindowW(nullptr, argv[1]);
        if (window == nullptr) {
            Sleep(100);
        }
    }
    if (window == nullptr) {
        std::fprintf(stderr, "no window\n");
        return 1;
    }
    IAccessible* client = nullptr;
    if (FAILED(AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                                          reinterpret_cast<void**>(&client))) ||
        client == nullptr) {
        std::fprintf(stderr, "no accessible object\n");
        return 1;
    }
    VARIANT self{};
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    std::printf("window|%s\n",
                Text([&](BSTR* title) { return client->get_accName(self, title); }).c_str());
    long count = 0;
    client->get_accChildCount(&count);
    const std::string pressName =
        argc >= 4 && std::wstring(argv[2]) == L"press" ? Utf8(argv[3]) : "";
    int pressed = 0;
    for (long i = 1; i <= count; ++i) {
        VARIANT child{};
        child.vt = VT_I4;
        child.lVal = i;
        VARIANT role{};
        VARIANT state{};
        const std::string childName =
            Text([&](BSTR* name) { return client->get_accName(child, name); });
        const std::string childValue =
            Text([&](BSTR* value) { return client->get_accValue(child, value); });
        client->get_accRole(child, &role);
        client->get_accState(child, &state);
        std::printf("%ld|%s|%s|%ld\n", role.lVal, childName.c_str(), childValue.c_str(),
                    state.lVal);
        if (!pressName.empty() && childName == pressName) {
            pressed += SUCCEEDED(client->accDoDefaultAction(child)) ? 1 : 0;
        }
    }
    client->Release();
    if (!pressName.empty()) {
        std::printf("pressed|%d\n", pressed);
        return pressed == 1 ? 0 : 1;
    }
    return 0;
}
