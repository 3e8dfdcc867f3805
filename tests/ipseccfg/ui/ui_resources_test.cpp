// The program's resources as built into DravolinIPSecCfg.exe: dialog
// template 102 item by item, the message texts and the icon.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "e2e_support_win32.h"

namespace {

struct Item {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    int id = 0;
    std::wstring windowClass; // "#128" and so on for predefined classes
    std::wstring text;
};

struct Template {
    DWORD style = 0;
    DWORD exStyle = 0;
    short cx = 0, cy = 0;
    std::wstring title;
    WORD pointSize = 0;
    std::wstring font;
    std::vector<Item> items;
};

// Predefined window classes may be named or given by ordinal; both mean the
// same to the dialog manager.
std::wstring PredefinedClass(std::wstring name) {
    for (auto& c : name)
        c = static_cast<wchar_t>(towupper(c));
    if (name == L"BUTTON")
        return L"#128";
    if (name == L"EDIT")
        return L"#129";
    if (name == L"STATIC")
        return L"#130";
    return name;
}

// Reads the extended dialog template format; every read is bounds-checked.
class TemplateReader {
  public:
    TemplateReader(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

    bool ok() const { return ok_; }

    template <typename T> T Get() {
        T value{};
        if (pos_ + sizeof(T) > size_) {
            ok_ = false;
            return value;
        }
        std::memcpy(&value, data_ + pos_, sizeof(T));
        pos_ += sizeof(T);
        return value;
    }
    std::wstring String() {
        std::wstring text;
        for (;;) {
            const auto c = Get<WORD>();
            if (!ok_ || c == 0)
                return text;
            text.push_back(static_cast<wchar_t>(c));
        }
    }
    std::wstring StringOrOrdinal() {
        const auto first = Get<WORD>();
        if (first == 0)
            return {};
        if (first == 0xFFFF)
            return L"#" + std::to_wstring(Get<WORD>());
        std::wstring text(1, static_cast<wchar_t>(first));
        return text + String();
    }
    void Align(std::size_t to) { pos_ = (pos_ + to - 1) / to * to; }
    void Skip(std::size_t n) { pos_ += n; }

  private:
    const unsigned char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

class ProgramResources : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::wstring path = e2e::ProgramDir() + L"\\DravolinIPSecCfg.exe";
        module_ = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module_, nullptr);
    }
    void TearDown() override {
        if (module_)
            FreeLibrary(module_);
    }

    bool ReadTemplate(int id, Template& out) {
        HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));
        if (!found)
            return false;
        HGLOBAL loaded = LoadResource(module_, found);
        const auto* data = static_cast<const unsigned char*>(LockResource(loaded));
        TemplateReader in(data, SizeofResource(module_, found));
        if (in.Get<WORD>() != 1 || in.Get<WORD>() != 0xFFFF)
            return false;
        in.Get<DWORD>(); // help id
        out.exStyle = in.Get<DWORD>();
        out.style = in.Get<DWORD>();
        const WORD count = in.Get<WORD>();
        in.Get<short>();
        in.Get<short>();
        out.cx = in.Get<short>();
        out.cy = in.Get<short>();
        in.StringOrOrdinal(); // menu
        in.StringOrOrdinal(); // class
        out.title = in.String();
        if (out.style & (DS_SETFONT | DS_SHELLFONT)) {
            out.pointSize = in.Get<WORD>();
            in.Get<WORD>();
            in.Get<BYTE>();
            in.Get<BYTE>();
            out.font = in.String();
        }
        for (WORD i = 0; i < count && in.ok(); ++i) {
            in.Align(4);
            Item item;
            in.Get<DWORD>();
            item.exStyle = in.Get<DWORD>();
            item.style = in.Get<DWORD>();
            item.x = in.Get<short>();
            item.y = in.Get<short>();
            item.cx = in.Get<short>();
            item.cy = in.Get<short>();
            item.id = static_cast<int>(in.Get<DWORD>());
            item.windowClass = PredefinedClass(in.StringOrOrdinal());
            item.text = in.StringOrOrdinal();
            in.Skip(in.Get<WORD>());
            out.items.push_back(item);
        }
        return in.ok();
    }

    std::wstring String(UINT id) {
        wchar_t buffer[512] = {};
        const int length = LoadStringW(module_, id, buffer, 512);
        return std::wstring(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
    }

    HMODULE module_ = nullptr;
};

TEST_F(ProgramResources, DialogFrameMatchesLayout) {
    Template dialog;
    ASSERT_TRUE(ReadTemplate(102, dialog));
    EXPECT_EQ(dialog.cx, 209);
    EXPECT_EQ(dialog.cy, 125);
    EXPECT_EQ(dialog.title, L"DravolinService IP Security Configurator");
    EXPECT_EQ(dialog.pointSize, 8);
    EXPECT_EQ(dialog.font, L"MS Shell Dlg");
    const DWORD required = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX |
                           DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS;
    EXPECT_EQ(dialog.style & required, required);
    EXPECT_EQ(dialog.style & (WS_MAXIMIZEBOX | WS_THICKFRAME), 0u);
    EXPECT_EQ(dialog.exStyle, static_cast<DWORD>(WS_EX_APPWINDOW));
}

TEST_F(ProgramResources, DialogItemsInTabOrderWithIdsTextsPositionsAndStyles) {
    Template dialog;
    ASSERT_TRUE(ReadTemplate(102, dialog));
    struct Expected {
        int id;
        const wchar_t* windowClass;
        const wchar_t* text;
        short x, y, cx, cy;
    };
    const Expected expected[] = {
        {-1, L"#130", L"Please enter IP Security attributes for DravolinService", 9, 6, 192, 8},
        {-1, L"#130", L"IP address:", 9, 43, 38, 8},
        {1000, L"#129", L"", 61, 40, 82, 14},
        {-1, L"#130", L"Port:", 9, 64, 17, 8},
        {1001, L"#129", L"", 61, 61, 42, 14},
        {-1, L"#130", L"Preshared key:", 9, 85, 50, 8},
        {1002, L"#129", L"", 61, 82, 120, 14},
        {1, L"#128", L"OK", 51, 104, 50, 14},
        {2, L"#128", L"Cancel", 106, 104, 50, 14},
        {1003, L"#128", L"Activate IP Security", 9, 22, 79, 10},
    };
    ASSERT_EQ(dialog.items.size(), std::size(expected));
    for (std::size_t i = 0; i < dialog.items.size(); ++i) {
        const Item& item = dialog.items[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(item.id, expected[i].id);
        EXPECT_EQ(item.windowClass, expected[i].windowClass);
        EXPECT_EQ(item.text, expected[i].text);
        EXPECT_EQ(item.x, expected[i].x);
        EXPECT_EQ(item.y, expected[i].y);
        EXPECT_EQ(item.cx, expected[i].cx);
        EXPECT_EQ(item.cy, expected[i].cy);
        EXPECT_TRUE(item.style & WS_VISIBLE);
    }
    const DWORD edit = WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
    for (int i : {2, 4, 6}) {
        EXPECT_EQ(dialog.items[i].style & edit, edit) << i;
        EXPECT_EQ(dialog.items[i].style & ES_NUMBER, 0u) << i; // port not limited to digits
    }
    EXPECT_EQ(dialog.items[2].style & ES_PASSWORD, 0u);
    EXPECT_EQ(dialog.items[4].style & ES_PASSWORD, 0u);
    EXPECT_EQ(dialog.items[6].style & ES_PASSWORD, static_cast<DWORD>(ES_PASSWORD));
    EXPECT_EQ(dialog.items[7].style & BS_TYPEMASK, static_cast<DWORD>(BS_DEFPUSHBUTTON));
    EXPECT_EQ(dialog.items[8].style & BS_TYPEMASK, static_cast<DWORD>(BS_PUSHBUTTON));
    EXPECT_EQ(dialog.items[9].style & BS_TYPEMASK, static_cast<DWORD>(BS_AUTOCHECKBOX));
    EXPECT_TRUE(dialog.items[9].style & WS_TABSTOP);
}

TEST_F(ProgramResources, MessageTextsAndNoAboutBox) {
    EXPECT_EQ(String(102), L"Another IPSec policy is active. Please first deactivate that policy.");
    EXPECT_EQ(String(103), L"Invalid IP address.");
    EXPECT_EQ(String(104), L"Invalid port number.");
    EXPECT_EQ(String(105), L"The IP Security settings could not be applied.");
    // Neither the about box nor its menu text is shipped.
    EXPECT_EQ(String(101), L"");
    EXPECT_EQ(FindResourceW(module_, MAKEINTRESOURCEW(100), MAKEINTRESOURCEW(5)), nullptr);
}

TEST_F(ProgramResources, IconHasLargeAndSmallImages) {
    HRSRC group = FindResourceW(module_, MAKEINTRESOURCEW(128), MAKEINTRESOURCEW(14));
    ASSERT_NE(group, nullptr);
    const auto* dir = static_cast<const unsigned char*>(LockResource(LoadResource(module_, group)));
    const DWORD size = SizeofResource(module_, group);
    ASSERT_GE(size, 6u);
    WORD count = 0;
    std::memcpy(&count, dir + 4, 2);
    ASSERT_EQ(size, 6u + 14u * count);
    std::vector<int> widths;
    for (WORD i = 0; i < count; ++i)
        widths.push_back(dir[6 + 14 * i] == 0 ? 256 : dir[6 + 14 * i]);
    EXPECT_NE(std::find(widths.begin(), widths.end(), 32), widths.end());
    EXPECT_NE(std::find(widths.begin(), widths.end(), 16), widths.end());
}

} // namespace
