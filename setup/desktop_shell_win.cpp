// What the installer asks of the shell: "ABRIR APP" started by the desktop's shell, with the
// rights of the user at the desktop rather than the installer's, and the shortcuts.

#include <windows.h>
// After windows.h, which they need.
#include <exdisp.h>
#include <objidl.h>
#include <servprov.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "common/win32_handles.h"
#include "install_steps.h"

namespace velmora::setup {

using win32::ComPtr;

namespace {

template <typename Interface>
ComPtr<Interface> Query(IUnknown* from, REFIID id) {
    Interface* raw = nullptr;
    if (from == nullptr || FAILED(from->QueryInterface(id, reinterpret_cast<void**>(&raw)))) {
        return ComPtr<Interface>(nullptr);
    }
    return ComPtr<Interface>(raw);
}

// The desktop's shell, which runs with the rights of the user who is logged on.
ComPtr<IShellDispatch2> DesktopShell() {
    IShellWindows* rawWindows = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                reinterpret_cast<void**>(&rawWindows)))) {
        return ComPtr<IShellDispatch2>(nullptr);
    }
    const ComPtr<IShellWindows> windows(rawWindows);
    VARIANT desktop{};
    desktop.vt = VT_I4;
    desktop.lVal = CSIDL_DESKTOP;
    VARIANT none{};
    long window = 0;
    IDispatch* rawFound = nullptr;
    if (windows.get()->FindWindowSW(&desktop, &none, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                                    &rawFound) != S_OK) {
        return ComPtr<IShellDispatch2>(nullptr);
    }
    const ComPtr<IDispatch> found(rawFound);
    const auto services = Query<IServiceProvider>(found.get(), IID_IServiceProvider);
    IShellBrowser* rawBrowser = nullptr;
    if (!services || FAILED(services.get()->QueryService(SID_STopLevelBrowser, IID_IShellBrowser,
                                                         reinterpret_cast<void**>(&rawBrowser)))) {
        return ComPtr<IShellDispatch2>(nullptr);
    }
    const ComPtr<IShellBrowser> browser(rawBrowser);
    IShellView* rawView = nullptr;
    if (FAILED(browser.get()->QueryActiveShellView(&rawView))) {
        return ComPtr<IShellDispatch2>(nullptr);
    }
    const ComPtr<IShellView> view(rawView);
    IDispatch* rawBackground = nullptr;
    if (FAILED(view.get()->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch,
                                         reinterpret_cast<void**>(&rawBackground)))) {
        return ComPtr<IShellDispatch2>(nullptr);
    }
    const ComPtr<IDispatch> background(rawBackground);
    const auto folderView = Query<IShellFolderViewDual>(background.get(), IID_IShellFolderViewDual);
    IDispatch* rawApplication = nullptr;
    if (!folderView || FAILED(folderView.get()->get_Application(&rawApplication))) {
        return ComPtr<IShellDispatch2>(nullptr);
    }
    const ComPtr<IDispatch> application(rawApplication);
    return Query<IShellDispatch2>(application.get(), IID_IShellDispatch2);
}

bool IsElevated() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return true;  // not known: the careful answer
    }
    const win32::UniqueKernelHandle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return !GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) ||
           elevation.TokenIsElevated != 0;
}

}  // namespace

bool StartAsDesktopUser(const std::wstring& program) {
    bool started = false;
    const win32::ComScope com;
    if (const ComPtr<IShellDispatch2> shell = DesktopShell()) {
        BSTR file = SysAllocString(program.c_str());
        VARIANT folder{};
        folder.vt = VT_BSTR;
        folder.bstrVal = SysAllocString(FolderOf(program).c_str());
        VARIANT none{};
        started = file != nullptr && folder.bstrVal != nullptr &&
                  SUCCEEDED(shell.get()->ShellExecute(file, none, folder, none, none));
        SysFreeString(file);
        VariantClear(&folder);
    }
    if (!started && !IsElevated()) {
        started = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", program.c_str(),
                                                          nullptr, nullptr, SW_SHOWNORMAL)) > 32;
    }
    return started;
}

bool CreateShortcut(const std::wstring& link, const std::wstring& target, const std::wstring& icon,
                    const std::wstring& description) {
    const win32::ComScope com;
    IShellLinkW* raw = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&raw)))) {
        return false;
    }
    const ComPtr<IShellLinkW> shellLink(raw);
    shellLink.get()->SetPath(target.c_str());
    shellLink.get()->SetWorkingDirectory(FolderOf(target).c_str());
    shellLink.get()->SetDescription(description.c_str());
    if (!icon.empty()) {
        shellLink.get()->SetIconLocation(icon.c_str(), 0);
    }
    IPersistFile* rawFile = nullptr;
    if (FAILED(shellLink.get()->QueryInterface(IID_IPersistFile,
                                               reinterpret_cast<void**>(&rawFile)))) {
        return false;
    }
    const ComPtr<IPersistFile> file(rawFile);
    return SUCCEEDED(file.get()->Save(link.c_str(), TRUE));
}

}  // namespace velmora::setup
