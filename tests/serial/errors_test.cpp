#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "serial/errors.h"

using namespace serial;

namespace {

class ErrorsTest : public ::testing::Test {
protected:
    void TearDown() override { InitComPortMessages(nullptr); }
};

TEST_F(ErrorsTest, EnglishTextsAndSuffix) {
    const EComPort open(CError_OpenFailed, 2);
    EXPECT_STREQ(open.what(), "Unable to open com port (win error code: 2)");
    EXPECT_EQ(open.PortErrorCode(), 1);
    EXPECT_EQ(open.SystemErrorCode(), 2);

    const EComPort plain(CError_ConnChangeProp);
    EXPECT_STREQ(plain.what(), "Cannot set property while connected");
    EXPECT_EQ(plain.SystemErrorCode(), -1);

    // A system code of 0 still carries the suffix; negative codes are signed.
    EXPECT_STREQ(EComPort(CError_RegError, 0).what(), "Registry error (win error code: 0)");
    EXPECT_STREQ(EComPort(CError_ReadFailed, -5).what(), "ReadFile function failed (win error code: -5)");

    EXPECT_EQ(ComPortMessage(4), "Invalid Async parameter");
    EXPECT_EQ(ComPortMessage(19), "Cannot change led state if ComPort is selected");
    EXPECT_EQ(ComPortMessage(22), "A component is linked to OnRxBuf event");
    EXPECT_EQ(ComPortMessage(0), "");
    EXPECT_EQ(ComPortMessage(24), "");
}

TEST_F(ErrorsTest, TranslationsAreLookedUpOnceAndFillOnlyTheSuffixNumber) {
    int lookups = 0;
    InitComPortMessages([&](const std::string& s) -> std::string {
        ++lookups;
        if (s == "Unable to open com port")
            return "Port nicht zu öffnen 100%d %s";
        if (s == ComPortEnglishSuffix())
            return " (%s Fehler %% %d, %d)";
        return s;
    });
    EXPECT_EQ(lookups, 24);
    // The table text is never a format; in the suffix only the first %d is filled.
    EXPECT_STREQ(EComPort(CError_OpenFailed, 13).what(),
                 "Port nicht zu öffnen 100%d %s (%s Fehler %% 13, %d)");
    EXPECT_STREQ(EComPort(CError_OpenFailed).what(), "Port nicht zu öffnen 100%d %s");
    // Untranslated texts keep English, with the translated suffix.
    EXPECT_STREQ(EComPort(CError_WriteFailed, 5).what(), "WriteFile function failed (%s Fehler %% 5, %d)");
    EXPECT_EQ(lookups, 24);

    InitComPortMessages(nullptr);
    EXPECT_STREQ(EComPort(CError_OpenFailed, 2).what(), "Unable to open com port (win error code: 2)");
}

TEST_F(ErrorsTest, SuffixWithoutNumberIsUsedAsItStands) {
    EXPECT_EQ(FillErrorSuffix(" (kein Code)", 7), " (kein Code)");
    EXPECT_EQ(FillErrorSuffix("%d%d", 7), "7%d");
}

TEST_F(ErrorsTest, MessagesCanBeBuiltOnAnotherThreadWhileTheTableChanges) {
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            const std::string m = EComPort(CError_OpenFailed, 2).what();
            ASSERT_TRUE(m == "Unable to open com port (win error code: 2)" || m == "X (Y 2)") << m;
        }
    });
    for (int i = 0; i < 200; ++i) {
        InitComPortMessages([](const std::string& s) {
            return s == "Unable to open com port" ? std::string("X") : s == ComPortEnglishSuffix() ? " (Y %d)" : s;
        });
        InitComPortMessages(nullptr);
    }
    stop = true;
    reader.join();
}

} // namespace
