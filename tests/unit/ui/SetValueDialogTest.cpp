// The set-value dialog as the operator uses it: a typed text in the row's display format,
// the range of the target type, and the values forced into the PLC locations.
#include "ui/SetValueDialog.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "support/FakeDriverPool.h"
#include "support/TestContext.h"
#include "ui/SetValueText.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <clocale>
#include <memory>
#include <string>

namespace dravon {
namespace {

// Numbers in a locale whose decimal separator is a comma (de_DE), for as long as it lives.
// Without that locale on the system it is built with localedef into a folder of its own.
class TCommaLocale {
public:
    TCommaLocale() : Old_(std::setlocale(LC_NUMERIC, nullptr)) {
        if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && Dir_.isValid() &&
            QProcess::execute("localedef", {"-i", "de_DE", "-f", "UTF-8", Dir_.path() + "/de_DE.UTF-8"}) ==
                0) {
            qputenv("LOCPATH", QFile::encodeName(Dir_.path()));
            std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
        }
    }
    ~TCommaLocale() {
        std::setlocale(LC_NUMERIC, Old_.c_str());
        qunsetenv("LOCPATH");
    }
    TCommaLocale(const TCommaLocale&) = delete;
    TCommaLocale& operator=(const TCommaLocale&) = delete;
    bool Active() const { return DisplayDecimalSeparator() == ','; }

private:
    std::string Old_;
    QTemporaryDir Dir_;
};

// ---- the plain reading functions

TEST(SetValueText, NormalizeDropsBlanksAndMakesHTheHexPrefix) {
    EXPECT_EQ(NormalizeValueText("H64"), "$64");
    EXPECT_EQ(NormalizeValueText(" h 6 4 "), "$64");
    EXPECT_EQ(NormalizeValueText("1 000"), "1000");
    EXPECT_EQ(NormalizeValueText("hH"), "$$");
}

TEST(SetValueText, IntegersInDecimalAndHexadecimal) {
    EXPECT_EQ(ReadIntegerText("100"), 100);
    EXPECT_EQ(ReadIntegerText("$64"), 100);
    EXPECT_EQ(ReadIntegerText("-$10"), -16);
    EXPECT_EQ(ReadIntegerText("+7"), 7);
    EXPECT_EQ(ReadIntegerText("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(ReadIntegerText("9223372036854775807"), INT64_MAX);
    for (const char* bad : {"", "-", "$", "12abc", "1.5", "9223372036854775808", "$FFFFFFFFFFFFFFFF",
                            "99999999999999999999999", "$$64", "1-"})
        EXPECT_FALSE(ReadIntegerText(bad)) << bad;
}

TEST(SetValueText, FloatingPointNumbers) {
    EXPECT_EQ(ReadFloatText("1.5"), 1.5);
    EXPECT_EQ(ReadFloatText("-1.5"), -1.5);
    EXPECT_EQ(ReadFloatText(".5"), 0.5);
    EXPECT_EQ(ReadFloatText("2."), 2.0);
    EXPECT_EQ(ReadFloatText("1.50000E+000"), 1.5); // the text the list shows
    EXPECT_EQ(ReadFloatText("1,5", ','), 1.5);
    EXPECT_EQ(ReadFloatText("1e-400"), 0.0);
    EXPECT_TRUE(std::isinf(*ReadFloatText("1e400")));
    for (const char* bad : {"", ".", "e5", "1e", "1.5.", "inf", "nan", "$3F", "1,5", "0x10", "1.5 "})
        EXPECT_FALSE(ReadFloatText(bad)) << bad;
}

TEST(SetValueText, HalvesRoundToEven) {
    EXPECT_EQ(RoundHalfToEven(32767.5), 32768.0);
    EXPECT_EQ(RoundHalfToEven(32768.5), 32768.0);
    EXPECT_EQ(RoundHalfToEven(-32767.5), -32768.0);
    EXPECT_EQ(RoundHalfToEven(2.4), 2.0);
    EXPECT_EQ(RoundHalfToEven(-2.6), -3.0);
}

TEST(SetValueText, TargetTypeFollowsTheWritableTargets) {
    EXPECT_EQ(SetValueTargetType({}), VarTypeUI4);
    EXPECT_EQ(SetValueTargetType({{VarTypeUI4, true}, {VarTypeUI2, true}}), VarTypeUI2);
    EXPECT_EQ(SetValueTargetType({{VarTypeUI2, true}, {VarTypeBool, true}}), VarTypeBool);
    // A read-only bit does not narrow the range.
    EXPECT_EQ(SetValueTargetType({{VarTypeBool, false}, {VarTypeUI4, true}}), VarTypeUI4);
}

struct TEntryCase {
    const char* Text;
    TViewFormat Format;
    std::uint16_t Target;
    bool Ok;
    std::int64_t Value;
    const char* Message;
};

TEST(SetValueText, EntriesAgainstFormatAndRange) {
    const TEntryCase cases[] = {
        {"100", TViewFormat::Dec, VarTypeUI2, true, 100, ""},
        {"H64", TViewFormat::Dec, VarTypeUI2, true, 100, ""},
        {"h 6 4", TViewFormat::Dec, VarTypeUI2, true, 100, ""},
        {"-1", TViewFormat::SignedDec, VarTypeUI2, true, -1, ""},
        {"-1", TViewFormat::Dec, VarTypeUI2, false, 0, "Valid values are 0..65535"},
        {"-32769", TViewFormat::SignedDec, VarTypeUI2, false, 0, "Valid values are -32768..32767"},
        {"H10000", TViewFormat::Hex, VarTypeUI2, false, 0, "Valid values are 0..65535"},
        {"HFFFF", TViewFormat::Hex, VarTypeUI2, true, 65535, ""},
        {"2", TViewFormat::Dec, VarTypeBool, false, 0, "Valid values are 0..1"},
        {"1", TViewFormat::Dec, VarTypeBool, true, 1, ""},
        {"4294967295", TViewFormat::Dec, VarTypeUI4, true, 4294967295LL, ""},
        {"4294967296", TViewFormat::Dec, VarTypeUI4, false, 0, "Valid values are 0..4294967295"},
        {"-2147483648", TViewFormat::SignedDec, VarTypeUI4, true, INT32_MIN, ""},
        {"12abc", TViewFormat::Dec, VarTypeUI2, false, 0, "Numerical value should be entered"},
        {"", TViewFormat::Hex, VarTypeUI2, false, 0, "Numerical value should be entered"},
        {"1.5", TViewFormat::FloatingPoint, VarTypeUI4, true, 0x3FC00000, ""},
        {"-1.5", TViewFormat::FloatingPoint, VarTypeUI4, true, 0xBFC00000LL, ""},
        {"1e39", TViewFormat::FloatingPoint, VarTypeUI4, false, 0, "Out of range"},
        {"abc", TViewFormat::FloatingPoint, VarTypeUI4, false, 0, "Floating point value should be entered"},
        // A floating-point pattern does not fit a word.
        {"1.5", TViewFormat::FloatingPoint, VarTypeUI2, false, 0, "Out of range"},
        {"0.5", TViewFormat::Fractional, VarTypeUI4, true, 32768, ""},
        {"1", TViewFormat::Fractional, VarTypeUI4, true, 65535, ""},
        {"-0.5", TViewFormat::Fractional, VarTypeUI4, false, 0, "Out of range"},
        {"H1", TViewFormat::Fractional, VarTypeUI4, false, 0, "Fractional value should be entered"},
        {"1e30", TViewFormat::Fractional, VarTypeUI4, false, 0, "Out of range"},
    };
    for (const TEntryCase& c : cases) {
        const TEnteredValue entered = ReadEnteredValue(c.Text, c.Format, c.Target);
        EXPECT_EQ(entered.Ok, c.Ok) << c.Text;
        if (c.Ok)
            EXPECT_EQ(entered.Value, c.Value) << c.Text;
        else
            EXPECT_EQ(entered.Message, c.Message) << c.Text;
    }
}

TEST(SetValueText, AWordKeepsItsOwnSixteenBits) {
    EXPECT_EQ(ValueForTarget(-1, true), 0xFFFFFFFFu);
    EXPECT_EQ(ValueForTarget(-1, false), 0xFFFFu);
    EXPECT_EQ(ValueForTarget(0x3FC00000, true), 0x3FC00000u);
    EXPECT_EQ(ValueForTarget(1, false), 1u);
}

// ---- the dialog on real locations

class SetValueDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "dravon-ui-test";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance()) App() = std::make_unique<QApplication>(argc, argv);
    }
    static void TearDownTestSuite() { App().reset(); }
    static std::unique_ptr<QApplication>& App() {
        static std::unique_ptr<QApplication> app;
        return app;
    }

    SetValueDialogTest() {
        T.Context.PLCs = &PLCs;
        PLCs.SetDriverPool(&Pool);
        THitachiPLC& plc = PLCs.AddPLC();
        plc.SetHost("127.0.0.1");
        plc.SetConnection(2, ProtocolEthernet);
        Dialog = std::make_unique<TfrmEnterVal>(&T.Platform.Clock);
        Dialog->ShowErrorMessage = [this](const QString& text) { Messages << text; };
    }
    ~SetValueDialogTest() override {
        Dialog.reset();
        for (THitachiLocation* location : Held) location->Release();
    }

    THitachiLocation& Location(const std::string& itemId) {
        THitachiLocation* location = PLCs.ResolveItemId(itemId).Location;
        EXPECT_NE(location, nullptr) << itemId;
        location->AddRef();
        Held.push_back(location);
        return *location;
    }
    // Opens the dialog for the first target, types the text and presses Apply.
    bool Enter(const QString& text, const std::vector<THitachiLocation*>& targets) {
        Dialog->Prepare(*targets.front(), targets);
        Dialog->ValueEdit()->setText(text);
        Messages.clear();
        return Dialog->ApplyEnteredValue();
    }

    test::TTestContext T;
    test::TFakeDriverPool Pool;
    TPLCCollection PLCs{T.Context};
    std::unique_ptr<TfrmEnterVal> Dialog;
    std::vector<THitachiLocation*> Held;
    QStringList Messages;
};

TEST_F(SetValueDialogTest, CaptionFirstTextAndFormatHint) {
    THitachiLocation& word = Location("PLC1.WR0010");
    THitachiLocation& dword = Location("PLC1.DR0020");
    word.StoreReadValue(0xFFFF, 0);
    word.View = static_cast<std::uint8_t>(TViewFormat::SignedDec);
    Dialog->Prepare(word, {&word});
    EXPECT_EQ(Dialog->windowTitle(), "Set value for WR0010");
    EXPECT_EQ(Dialog->FormatHint(), "Signed Dec");
    EXPECT_EQ(Dialog->ValueEdit()->text(), "-1");

    dword.View = static_cast<std::uint8_t>(TViewFormat::FloatingPoint);
    Dialog->Prepare(dword, {&dword, &word});
    EXPECT_EQ(Dialog->windowTitle(), "Set multiple values");
    EXPECT_EQ(Dialog->FormatHint(), "Flocating Point");
    dword.View = static_cast<std::uint8_t>(TViewFormat::Fractional);
    Dialog->Prepare(dword, {&dword});
    EXPECT_EQ(Dialog->FormatHint(), "Fractional");
    word.View = static_cast<std::uint8_t>(TViewFormat::Hex);
    Dialog->Prepare(word, {&word});
    EXPECT_EQ(Dialog->FormatHint(), "Hex");
    EXPECT_EQ(Dialog->ValueEdit()->text(), "HFFFF");

    Dialog->show();
    EXPECT_EQ(Dialog->ValueEdit()->toolTip(), "Example:\n\r100 (dec), H64 (hex)");
    EXPECT_EQ(Dialog->ValueEdit()->selectedText(), "HFFFF");
    Dialog->done(QDialog::Rejected);
}

TEST_F(SetValueDialogTest, DecimalAndHexadecimalTextsForceTheWord) {
    THitachiLocation& word = Location("PLC1.WR0010");
    for (const char* text : {"100", "H64", "h 6 4"}) {
        word.WriteRequested = false;
        word.Value = 0;
        EXPECT_FALSE(Enter(text, {&word})) << text;
        EXPECT_TRUE(Messages.isEmpty()) << text;
        EXPECT_EQ(word.Value, 100u) << text;
        EXPECT_TRUE(word.WriteRequested);
        EXPECT_TRUE(word.SkipNextRead);
        EXPECT_EQ(word.ValueTime, T.Platform.Clock.Now());
    }
}

TEST_F(SetValueDialogTest, RangesByFormatAndTargetType) {
    THitachiLocation& word = Location("PLC1.WR0010");
    THitachiLocation& bit = Location("PLC1.R010");
    word.View = static_cast<std::uint8_t>(TViewFormat::SignedDec);
    EXPECT_FALSE(Enter("-1", {&word}));
    // A word takes -1 as its 16-bit pattern, not as 0xFFFFFFFF.
    EXPECT_EQ(word.Value, 0xFFFFu);

    word.View = static_cast<std::uint8_t>(TViewFormat::Dec);
    word.Value = 7;
    EXPECT_TRUE(Enter("-1", {&word}));
    EXPECT_EQ(Messages, QStringList{"Valid values are 0..65535"});
    EXPECT_EQ(word.Value, 7u);

    word.View = static_cast<std::uint8_t>(TViewFormat::Hex);
    EXPECT_TRUE(Enter("H10000", {&word}));
    EXPECT_EQ(Messages, QStringList{"Valid values are 0..65535"});

    EXPECT_TRUE(Enter("2", {&bit}));
    EXPECT_EQ(Messages, QStringList{"Valid values are 0..1"});
    EXPECT_FALSE(Enter("1", {&bit}));
    EXPECT_EQ(bit.Value, 1u);

    word.View = static_cast<std::uint8_t>(TViewFormat::Dec);
    EXPECT_TRUE(Enter("12abc", {&word}));
    EXPECT_EQ(Messages, QStringList{"Numerical value should be entered"});
    EXPECT_EQ(word.Value, 7u);
}

TEST_F(SetValueDialogTest, FloatingPointAndFractionalOnADoubleWord) {
    THitachiLocation& dword = Location("PLC1.DR0020");
    ASSERT_TRUE(dword.HasBothHalves());
    dword.View = static_cast<std::uint8_t>(TViewFormat::FloatingPoint);
    EXPECT_FALSE(Enter("1.5", {&dword}));
    EXPECT_EQ(dword.HighLink->Value, 0x3FC0u);
    EXPECT_EQ(dword.LowLink->Value, 0x0000u);
    EXPECT_EQ(dword.GetValue(), 0x3FC00000u);
    EXPECT_TRUE(dword.HighLink->WriteRequested);
    EXPECT_FALSE(Enter("-1.5", {&dword}));
    EXPECT_EQ(dword.HighLink->Value, 0xBFC0u);

    dword.View = static_cast<std::uint8_t>(TViewFormat::Fractional);
    EXPECT_FALSE(Enter("0.5", {&dword}));
    EXPECT_EQ(dword.GetValue(), 32768u);
    EXPECT_TRUE(Enter("-0.5", {&dword}));
    EXPECT_EQ(Messages, QStringList{"Out of range"});
    EXPECT_EQ(dword.GetValue(), 32768u);
    EXPECT_TRUE(Enter("x", {&dword}));
    EXPECT_EQ(Messages, QStringList{"Fractional value should be entered"});
}

TEST_F(SetValueDialogTest, WhatTheListShowsIsAcceptedUnderACommaLocale) {
    TCommaLocale comma;
    if (!comma.Active()) GTEST_SKIP() << "no locale with a decimal comma (the locales package)";
    THitachiLocation& dword = Location("PLC1.DR0020");
    struct TCase {
        TViewFormat View;
        std::uint32_t Value;
        const char* Shown;
        const char* Typed;
        std::uint32_t Written;
    };
    const TCase cases[] = {
        {TViewFormat::FloatingPoint, 0x3FC00000u, "1,50000E+000", "-2,5", 0xC0200000u},
        {TViewFormat::Fractional, 32768u, "5,00008E-001", "0,25", 16384u},
        {TViewFormat::FloatingPoint, 0x3FC00000u, "1,50000E+000", "0.5", 0x3F000000u},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Typed);
        dword.View = static_cast<std::uint8_t>(c.View);
        dword.StoreForcedValue(c.Value, 0);
        // OK on the dialog's own starting text writes that value back.
        Dialog->Prepare(dword, {&dword});
        EXPECT_EQ(Dialog->ValueEdit()->text(), c.Shown);
        Messages.clear();
        Dialog->OkButton()->click();
        EXPECT_TRUE(Messages.isEmpty()) << Messages.join("|").toStdString();
        EXPECT_EQ(dword.GetValue(), c.Value);
        Dialog->Prepare(dword, {&dword});
        Dialog->ValueEdit()->clear();
        QTest::keyClicks(Dialog->ValueEdit(), c.Typed);
        Dialog->OkButton()->click();
        EXPECT_TRUE(Messages.isEmpty()) << Messages.join("|").toStdString();
        EXPECT_EQ(dword.GetValue(), c.Written);
    }
}

TEST_F(SetValueDialogTest, MixedSelectionAndReadOnlyTargets) {
    THitachiLocation& dword = Location("PLC1.DR0100");
    THitachiLocation& word = Location("PLC1.WR0200");
    // A double word and a word in Dec: the word's range decides.
    EXPECT_TRUE(Enter("70000", {&dword, &word}));
    EXPECT_EQ(Messages, QStringList{"Valid values are 0..65535"});
    EXPECT_FALSE(Enter("H1234", {&dword, &word}));
    EXPECT_EQ(dword.GetValue(), 0x1234u);
    EXPECT_EQ(word.Value, 0x1234u);

    // Only writable targets are written; none at all reports no error.
    word.AccessRights = AccessReadable;
    word.WriteRequested = false;
    EXPECT_FALSE(Enter("70000", {&dword, &word}));
    EXPECT_EQ(dword.GetValue(), 70000u);
    EXPECT_EQ(word.Value, 0x1234u);
    EXPECT_FALSE(word.WriteRequested);
    EXPECT_FALSE(Enter("5", {&word}));
    EXPECT_EQ(word.Value, 0x1234u);
}

TEST_F(SetValueDialogTest, OkClosesOnlyWithoutErrorAndTargetsAreHeldWhileOpen) {
    THitachiLocation& word = Location("PLC1.WR0300");
    const int before = word.RefCount;
    Dialog->Prepare(word, {&word});
    Dialog->show();
    EXPECT_EQ(word.RefCount, before + 1);
    Dialog->ValueEdit()->setText("12abc");
    Messages.clear();
    Dialog->OkButton()->click();
    EXPECT_TRUE(Dialog->isVisible());
    EXPECT_EQ(Messages.size(), 1);
    Dialog->ValueEdit()->setText("42");
    Dialog->ApplyButton()->click();
    EXPECT_TRUE(Dialog->isVisible());
    EXPECT_EQ(word.Value, 42u);
    Dialog->ValueEdit()->setText("43");
    Dialog->OkButton()->click();
    EXPECT_FALSE(Dialog->isVisible());
    EXPECT_EQ(word.Value, 43u);
    EXPECT_EQ(word.RefCount, before);

    Dialog->Prepare(word, {&word});
    Dialog->show();
    Dialog->ValueEdit()->setText("44");
    Dialog->CancelButton()->click();
    EXPECT_FALSE(Dialog->isVisible());
    EXPECT_EQ(word.Value, 43u);
    EXPECT_EQ(word.RefCount, before);
}

} // namespace
} // namespace dravon
