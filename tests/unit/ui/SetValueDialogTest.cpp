// The set-value dialog as the operator uses it: a typed text in the row's display format,
// the range of the target type, and the values forced into the PLC locations.
#include "ui/SetValueDialog.h"
#include "WidgetSuite.h"
#include "plc/HitachiLocation.h"
#include "ui/SetValueText.h"

#include <QLineEdit>
#include <QPushButton>

#include <cmath>
#include <tuple>

namespace dravon {
namespace {

// ---- the plain reading functions

TEST(SetValueText, NormalizeIntegersFloatsAndRounding) {
    const std::pair<const char*, const char*> normalized[] = {
        {"H64", "$64"}, {" h 6 4 ", "$64"}, {"1 000", "1000"}, {"hH", "$$"}};
    for (const auto& [text, expected] : normalized) EXPECT_EQ(NormalizeValueText(text), expected) << text;

    // clang-format off
    const std::pair<const char*, std::int64_t> integers[] = {{"100", 100}, {"$64", 100}, {"-$10", -16}, {"+7", 7}, {"0x1F", 31},
        {"-9223372036854775808", INT64_MIN}, {"9223372036854775807", INT64_MAX}};
    // clang-format on
    for (const auto& [text, expected] : integers) EXPECT_EQ(ReadIntegerText(text), expected) << text;
    for (const char* bad : {"", "-", "$", "12abc", "1.5", "9223372036854775808", "$FFFFFFFFFFFFFFFF",
                            "99999999999999999999999", "$$64", "1-"})
        EXPECT_FALSE(ReadIntegerText(bad)) << bad;

    // Either decimal separator, as the operator types it, whatever the desktop's locale.
    const std::pair<const char*, double> floats[] = {
        {"1.5", 1.5},          {"-1.5", -1.5}, {".5", 0.5},       {"2.", 2.0},
        {"1.50000E+000", 1.5}, // the text the list shows
        {"1,5", 1.5},          {",5", 0.5},    {"-2,5e1", -25.0}, {"1e-400", 0.0}};
    for (const auto& [text, expected] : floats) EXPECT_EQ(ReadFloatText(text), expected) << text;
    EXPECT_TRUE(std::isinf(*ReadFloatText("1e400")));
    for (const char* bad :
         {"", ".", ",", "e5", "1e", "1.5.", "1,5,", "1.5,0", "inf", "nan", "$3F", "0x10", "1.5 ", "1,000.5"})
        EXPECT_FALSE(ReadFloatText(bad)) << bad;

    const std::pair<double, double> rounded[] = {
        {32767.5, 32768.0}, {32768.5, 32768.0}, {-32767.5, -32768.0}, {2.4, 2.0}, {-2.6, -3.0}};
    for (const auto& [value, expected] : rounded) EXPECT_EQ(RoundHalfToEven(value), expected) << value;
}

TEST(SetValueText, TargetTypeFollowsTheWritableTargets) {
    // A read-only bit does not narrow the range.
    EXPECT_EQ(
        (std::vector{SetValueTargetType({}), SetValueTargetType({{VarTypeUI4, true}, {VarTypeUI2, true}}),
                     SetValueTargetType({{VarTypeUI2, true}, {VarTypeBool, true}}),
                     SetValueTargetType({{VarTypeBool, false}, {VarTypeUI4, true}})}),
        (std::vector<std::uint16_t>{VarTypeUI4, VarTypeUI2, VarTypeBool, VarTypeUI4}));
}

// ---- the dialog on real locations

class SetValueDialogTest : public test::TWindowTest {
protected:
    SetValueDialogTest() : Dialog(Window->SetValueDialog()) {
        AddPlc();
        Dialog.ShowErrorMessage = [this](const QString& text) { Errors << text; };
    }
    ~SetValueDialogTest() override {
        for (THitachiLocation* location : Held) location->Release();
    }
    THitachiLocation& Location(const std::string& itemId) {
        Held.push_back(&Use(itemId));
        return *Held.back();
    }
    // Opens the dialog for the first target, types the text and presses Apply.
    bool Enter(const QString& text, const std::vector<THitachiLocation*>& targets) {
        Dialog.Prepare(*targets.front(), targets);
        Dialog.ValueEdit()->setText(text);
        Errors.clear();
        return Dialog.ApplyEnteredValue();
    }
    static void View(THitachiLocation& location, TViewFormat view) {
        location.View = static_cast<std::uint8_t>(view);
    }

    TfrmEnterVal& Dialog;
    std::vector<THitachiLocation*> Held;
};

TEST_F(SetValueDialogTest, CaptionFirstTextAndFormatHint) {
    THitachiLocation& word = Location("PLC1.WR0010");
    THitachiLocation& dword = Location("PLC1.DR0020");
    word.StoreReadValue(0xFFFF, 0);
    // The location, its view, how many targets; the caption, the format hint, the first text.
    const std::tuple<THitachiLocation*, TViewFormat, std::size_t, const char*, const char*, const char*>
        cases[] = {
            {&word, TViewFormat::SignedDec, 1, "Set value for WR0010", "Signed Dec", "-1"},
            {&dword, TViewFormat::FloatingPoint, 2, "Set multiple values", "Flocating Point", nullptr},
            {&dword, TViewFormat::Fractional, 1, "Set value for DR0020", "Fractional", nullptr},
            {&word, TViewFormat::Dec, 1, "Set value for WR0010", "Dec", "65535"},
            {&word, TViewFormat::Hex, 1, "Set value for WR0010", "Hex", "HFFFF"},
        };
    for (const auto& [location, view, count, title, hint, text] : cases) {
        SCOPED_TRACE(hint);
        View(*location, view);
        std::vector<THitachiLocation*> targets{location, &word};
        targets.resize(count);
        Dialog.Prepare(*location, targets);
        EXPECT_EQ(Dialog.windowTitle() + "|" + Dialog.FormatHint(), QString(title) + "|" + hint);
        EXPECT_TRUE(!text || Dialog.ValueEdit()->text() == text) << Dialog.ValueEdit()->text().toStdString();
    }
    Dialog.show();
    EXPECT_EQ(Dialog.ValueEdit()->toolTip() + "|" + Dialog.ValueEdit()->selectedText(),
              "Example:\n\r100 (dec), H64 (hex)|HFFFF");
    Dialog.done(QDialog::Rejected);
}

TEST_F(SetValueDialogTest, TypedTextsForceTheLocationOrShowTheirMessage) {
    using enum TViewFormat;
    // The location, its view, the typed text; the message, and the value afterwards: the
    // written value, or the one kept.
    // clang-format off
    const std::tuple<const char*, TViewFormat, const char*, const char*, std::uint32_t> cases[] = {
        {"WR0010", Dec, "100", "", 100}, {"WR0010", Dec, "H64", "", 100}, {"WR0010", Dec, "h 6 4", "", 100},
        {"WR0010", SignedDec, "-1", "", 0xFFFF}, // the word's 16-bit pattern, not 0xFFFFFFFF
        {"WR0010", Dec, "7", "", 7},
        {"WR0010", Dec, "-1", "Valid values are 0..65535", 7},
        {"WR0010", Hex, "H10000", "Valid values are 0..65535", 7},
        {"WR0010", SignedDec, "-32769", "Valid values are -32768..32767", 7},
        {"WR0010", Dec, "12abc", "Numerical value should be entered", 7},
        {"WR0010", Hex, "", "Numerical value should be entered", 7},
        {"WR0010", FloatingPoint, "1.5", "Out of range", 7}, // a floating-point pattern does not fit a word
        {"WR0010", Hex, "HFFFF", "", 0xFFFF},
        {"R010", Dec, "2", "Valid values are 0..1", 0}, {"R010", Dec, "1", "", 1},
        {"DR0020", FloatingPoint, "1.5", "", 0x3FC00000}, {"DR0020", FloatingPoint, "-1.5", "", 0xBFC00000},
        {"DR0020", FloatingPoint, "-2,5", "", 0xC0200000}, // a decimal comma as the lists may show it
        {"DR0020", FloatingPoint, "1,50000E+000", "", 0x3FC00000},
        {"DR0020", FloatingPoint, "1e39", "Out of range", 0x3FC00000},
        {"DR0020", FloatingPoint, "abc", "Floating point value should be entered", 0x3FC00000},
        {"DR0020", Fractional, "0.5", "", 32768},
        {"DR0020", Fractional, "-0.5", "Out of range", 32768},
        {"DR0020", Fractional, "x", "Fractional value should be entered", 32768},
        {"DR0020", Fractional, "H1", "Fractional value should be entered", 32768},
        {"DR0020", Fractional, "0,25", "", 16384}, {"DR0020", Fractional, "1", "", 65535},
        {"DR0020", Fractional, "1e30", "Out of range", 65535},
        {"DR0020", Dec, "4294967295", "", 0xFFFFFFFF},
        {"DR0020", Dec, "4294967296", "Valid values are 0..4294967295", 0xFFFFFFFF},
        {"DR0020", SignedDec, "-2147483648", "", 0x80000000},
        {"DR0020", SignedDec, "2147483648", "Valid values are -2147483648..2147483647", 0x80000000},
    };
    // clang-format on
    for (const auto& [item, view, text, message, value] : cases) {
        SCOPED_TRACE(text);
        THitachiLocation& location = Location(std::string("PLC1.") + item);
        const bool doubleWord = location.HasBothHalves();
        THitachiLocation& written = doubleWord ? *location.HighLink : location;
        View(location, view);
        written.WriteRequested = false;
        EXPECT_EQ(Enter(text, {&location}), *message != 0);
        EXPECT_EQ(Errors.join("|"), message);
        EXPECT_EQ(location.GetValue(), value);
        if (doubleWord) {
            EXPECT_EQ(std::pair(location.HighLink->Value, location.LowLink->Value),
                      std::pair(value >> 16, value & 0xFFFFu));
        }
        if (*message) continue;
        EXPECT_TRUE(written.WriteRequested && location.SkipNextRead);
        EXPECT_EQ(location.ValueTime, T.Platform.Clock.Now());
    }
}

TEST_F(SetValueDialogTest, MixedSelectionAndReadOnlyTargets) {
    THitachiLocation& dword = Location("PLC1.DR0100");
    THitachiLocation& word = Location("PLC1.WR0200");
    // A double word and a word in Dec: the word's range decides.
    EXPECT_TRUE(Enter("70000", {&dword, &word}));
    EXPECT_EQ(Errors, QStringList{"Valid values are 0..65535"});
    EXPECT_FALSE(Enter("H1234", {&dword, &word}));
    EXPECT_EQ(std::pair(dword.GetValue(), word.Value), std::pair(0x1234u, 0x1234u));

    // Only writable targets are written; none at all reports no error.
    word.AccessRights = AccessReadable;
    word.WriteRequested = false;
    EXPECT_FALSE(Enter("70000", {&dword, &word}));
    EXPECT_EQ(std::tuple(dword.GetValue(), word.Value, word.WriteRequested),
              std::tuple(70000u, 0x1234u, false));
    EXPECT_FALSE(Enter("5", {&word}));
    EXPECT_EQ(word.Value, 0x1234u);
}

TEST_F(SetValueDialogTest, OkClosesOnlyWithoutErrorAndTargetsAreHeldWhileOpen) {
    THitachiLocation& word = Location("PLC1.WR0300");
    const int before = word.RefCount;
    Dialog.Prepare(word, {&word});
    Dialog.show();
    EXPECT_EQ(word.RefCount, before + 1);
    // Text typed, a button pressed: whether the dialog stays open, the word's value, its references.
    auto press = [&](const char* text, QPushButton* button) {
        Dialog.ValueEdit()->setText(text);
        button->click();
        return std::tuple(Dialog.isVisible(), word.Value, word.RefCount);
    };
    EXPECT_EQ(press("12abc", Dialog.OkButton()), std::tuple(true, 0u, before + 1));
    EXPECT_EQ(Errors.size(), 1);
    EXPECT_EQ(press("42", Dialog.ApplyButton()), std::tuple(true, 42u, before + 1));
    EXPECT_EQ(press("43", Dialog.OkButton()), std::tuple(false, 43u, before));
    Dialog.Prepare(word, {&word});
    Dialog.show();
    EXPECT_EQ(press("44", Dialog.CancelButton()), std::tuple(false, 43u, before));
}

} // namespace
} // namespace dravon
