// The window's IAccessible, called as a screen reader calls it. (Under Wine the object cannot be
// reached from another process: its IAccessible proxy does not unmarshal there.)

#include "ui/accessible_win.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace velmora::ui {
namespace {

class FakeWindow final : public AccessibleSource {
  public:
    std::vector<AccessibleChild> Children() override {
        std::vector<AccessibleChild> children;
        for (AccessibleItem& item : Items()) {
            children.push_back({static_cast<long>(children.size() + 1), std::move(item)});
        }
        return children;
    }
    std::vector<AccessibleItem> Items() {
        return {
            {AccessibleRole::Text, L"Status: AGUARDANDO MEDIÇÃO", {}, {20, 388, 340, 406}},
            {AccessibleRole::ProgressBar, L"Copiando arquivos...", L"40 %", {28, 320, 492, 354}},
            {AccessibleRole::CheckBox,
             L"Criar atalho no Menu Iniciar",
             {},
             {28, 214, 308, 236},
             true},
            {AccessibleRole::Button, L"INICIAR TESTE", {}, {20, 690, 340, 738}}};
    }
    std::optional<long> Focus() const override { return 4; }
    RECT ToScreen(const Rect& r) const override {
        return {100 + r.left * 2, 50 + r.top * 2, 100 + r.right * 2, 50 + r.bottom * 2};
    }
    void RequestPress(long child) override { pressed.push_back(child); }
    std::vector<long> pressed;
};

VARIANT Child(long id) {
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = id;
    return v;
}

std::wstring Name(IAccessible* object, long id) {
    BSTR text = nullptr;
    object->get_accName(Child(id), &text);
    std::wstring out = text ? std::wstring(text, SysStringLen(text)) : L"";
    SysFreeString(text);
    return out;
}

TEST(ClientAccessible, AnswersAsAScreenReaderAsks) {
    FakeWindow window;
    auto link = std::make_shared<AccessibleLink>(AccessibleLink{nullptr, &window});
    IAccessible* object = CreateClientAccessible(link);
    long count = 0;
    object->get_accChildCount(&count);
    EXPECT_EQ(count, 4);
    struct Expected {
        long id;
        const wchar_t* name;
        long role;
        long state;
    } expected[] = {
        {1, L"Status: AGUARDANDO MEDIÇÃO", ROLE_SYSTEM_STATICTEXT, STATE_SYSTEM_READONLY},
        {2, L"Copiando arquivos...", ROLE_SYSTEM_PROGRESSBAR, STATE_SYSTEM_READONLY},
        {3, L"Criar atalho no Menu Iniciar", ROLE_SYSTEM_CHECKBUTTON,
         STATE_SYSTEM_FOCUSABLE | STATE_SYSTEM_CHECKED},
        {4, L"INICIAR TESTE", ROLE_SYSTEM_PUSHBUTTON,
         STATE_SYSTEM_FOCUSABLE | STATE_SYSTEM_FOCUSED},
    };
    for (const Expected& e : expected) {
        EXPECT_EQ(Name(object, e.id), e.name);
        VARIANT role{};
        VARIANT state{};
        object->get_accRole(Child(e.id), &role);
        object->get_accState(Child(e.id), &state);
        EXPECT_EQ(role.lVal, e.role) << e.id;
        EXPECT_EQ(state.lVal, e.state) << e.id;
    }
    BSTR value = nullptr;
    EXPECT_EQ(object->get_accValue(Child(2), &value), S_OK);
    EXPECT_EQ(std::wstring(value), L"40 %");
    SysFreeString(value);
    long left = 0, top = 0, width = 0, height = 0;
    ASSERT_EQ(object->accLocation(&left, &top, &width, &height, Child(4)), S_OK);
    EXPECT_EQ((std::array<long, 4>{left, top, width, height}),
              (std::array<long, 4>{140, 1430, 640, 96}));
    VARIANT hit{};
    object->accHitTest(140 + 10, 1430 + 10, &hit);
    EXPECT_EQ(hit.lVal, 4);

    // The default action presses a control, never a text.
    EXPECT_EQ(object->accDoDefaultAction(Child(4)), S_OK);
    EXPECT_NE(object->accDoDefaultAction(Child(1)), S_OK);
    EXPECT_EQ(object->accDoDefaultAction(Child(9)), E_INVALIDARG);
    EXPECT_EQ(window.pressed, (std::vector<long>{4}));

    // A client may keep the object after the window has gone.
    link->source = nullptr;
    object->get_accChildCount(&count);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(object->accDoDefaultAction(Child(4)), E_INVALIDARG);
    object->Release();
}

}  // namespace
}  // namespace velmora::ui
