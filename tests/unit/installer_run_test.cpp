// The run against the fake platform: mode, consent, the ordered installation,
// the boxes the user sees and the exit status.
#include "installer_run.h"

#include "embedded_certificates.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const std::u16string kAttention = u"Внимание";
const std::u16string kError = u"Ошибка";
const std::u16string kConsent =
    u"Эта программа настраивает ваше рабочее место для работы с электронной подписью: "
    u"устанавливает корневой и промежуточные сертификаты Минцифры России, промежуточные "
    u"сертификаты ФНС и АО \u00abАналитический центр\u00bb в хранилище сертификатов "
    u"локального компьютера.\nПродолжить?";
const std::u16string kRefused = u"Установка сертификатов отменена";
const std::u16string kInstalled = u"Сертификаты установлены успешно";
const std::u16string kAccessDenied = u"Требуются права администратора";
const std::u16string kFailureFormat = u"Ошибка установки сертификатов, код 0x%08x";

constexpr UINT kConsentStyle = 0x24;  // MB_YESNO | MB_ICONQUESTION
constexpr UINT kInfoStyle = 0x40;     // MB_OK | MB_ICONINFORMATION
constexpr UINT kErrorStyle = 0x10;    // MB_OK | MB_ICONERROR

struct Box {
  std::u16string text;
  std::u16string caption;
  std::uintptr_t owner;
  std::uintptr_t style;
};

std::vector<Box> Boxes() {
  std::vector<Box> boxes;
  for (const fake::Call& call : fake::CallsTo("MessageBoxW"))
    boxes.push_back({call.text, call.caption, call.args[0], call.args[3]});
  return boxes;
}

void ExpectBox(const Box& box, const std::u16string& text, const std::u16string& caption,
               UINT style) {
  EXPECT_EQ(box.text, text) << "MessageBoxW: wrong text";
  EXPECT_EQ(box.caption, caption) << "MessageBoxW: wrong caption";
  EXPECT_EQ(box.style, style) << "MessageBoxW: wrong style";
  EXPECT_EQ(box.owner, 0U) << "MessageBoxW: the box must have no owner window";
}

// The rows that InstallCertificate was asked to install, by their base64 text.
std::vector<int> AttemptedRows() {
  std::vector<int> rows;
  for (const fake::Call& call : fake::CallsTo("CryptQueryObject")) {
    const auto* end = EmbeddedCertificates + EmbeddedCertificateCount;
    const auto* row = std::find_if(EmbeddedCertificates, end, [&](const EmbeddedCertificate& r) {
      return call.bytes == r.Base64Text;
    });
    rows.push_back(row == end ? 0 : static_cast<int>(row - EmbeddedCertificates) + 1);
  }
  return rows;
}

std::vector<int> Rows(int first, int last) {
  std::vector<int> rows;
  for (int row = first; row <= last; ++row) rows.push_back(row);
  return rows;
}

size_t Count(const std::string& function) { return fake::CallsTo(function).size(); }

// Everything the run acquired since the last fake::Reset() was released.
void ExpectAllReleased() {
  const fake::Platform& p = fake::State();
  EXPECT_EQ(p.contextsAcquired, p.contextsReleased) << "a decoded certificate was not freed";
  EXPECT_EQ(p.storesOpened, p.storesClosed) << "a store was not closed";
  EXPECT_EQ(p.heapBlocksAllocated, p.heapBlocksFreed) << "MessageBuffer was not freed";
}

class InstallerRunTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override { ExpectAllReleased(); }
  // Makes row `row` fail at the add, with `code` as the platform's last error.
  static void FailAddAtRow(int row, DWORD code) {
    for (int i = 1; i < row; ++i) fake::State().addCertificate.push_back(fake::Succeeds());
    fake::State().addCertificate.push_back(fake::Fails(code));
  }
};

TEST_F(InstallerRunTest, ConsentTextIs264UnitsWithOneBareLineFeed) {
  EXPECT_EQ(kConsent.size(), 264U);
  fake::State().messageBoxResults = {IDNO};
  InstallerRun(u"");
  ASSERT_FALSE(Boxes().empty());
  const std::u16string shown = Boxes()[0].text;
  EXPECT_EQ(shown, kConsent);
  EXPECT_EQ(std::count(shown.begin(), shown.end(), u'\n'), 1);
  EXPECT_EQ(shown.find(u'\r'), std::u16string::npos) << "the line feed must stand alone";
}

struct Tail {
  const char* name;  // the case's name in the test output
  const char16_t* tail;
};

// Failure messages and ctest show the case's name, not its bytes.
void PrintTo(const Tail& tail, std::ostream* out) { *out << tail.name; }

std::string TailName(const ::testing::TestParamInfo<Tail>& testCase) { return testCase.param.name; }

class SilentTailTest : public InstallerRunTest, public ::testing::WithParamInterface<Tail> {};

TEST_P(SilentTailTest, InstallsAllTwelveWithoutAnyBox) {
  EXPECT_EQ(InstallerRun(GetParam().tail), 1);
  EXPECT_TRUE(Boxes().empty()) << "a silent run shows no box";
  EXPECT_EQ(AttemptedRows(), Rows(1, 12));
  EXPECT_EQ(Count("CertAddCertificateContextToStore"), 12U);
  EXPECT_EQ(Count("GetLastError"), 0U);
  EXPECT_EQ(Count("HeapAlloc"), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    HyphenSAnywhere, SilentTailTest,
    ::testing::Values(Tail{"HyphenS", u"-s"}, Tail{"InsideAWord", u"x-s"},
                      Tail{"DoubleHyphenSilent", u"--silent"}, Tail{"HyphenSetup", u"-setup"},
                      Tail{"QuotedPathWithDataSet", u"\"C:\\Users\\buh\\data-set\\report.xml\""},
                      Tail{"AfterSlashQuiet", u"/quiet -s"}, Tail{"AfterCapitalS", u"-S -s"}),
    TailName);

class InteractiveTailTest : public InstallerRunTest, public ::testing::WithParamInterface<Tail> {};

TEST_P(InteractiveTailTest, AsksForConsentFirst) {
  fake::State().messageBoxResults = {IDNO};
  EXPECT_EQ(InstallerRun(GetParam().tail), 1);
  ASSERT_EQ(fake::CallNames().size(), 2U);
  ASSERT_EQ(Boxes().size(), 2U);
  ExpectBox(Boxes()[0], kConsent, kAttention, kConsentStyle);
}

INSTANTIATE_TEST_SUITE_P(
    NoHyphenS, InteractiveTailTest,
    ::testing::Values(Tail{"CapitalS", u"-S"}, Tail{"SlashS", u"/s"}, Tail{"SlashCapitalS", u"/S"},
                      Tail{"Empty", u""}, Tail{"HyphenBlankS", u"- s"}, Tail{"SThenHyphen", u"s-"},
                      Tail{"HyphenAlone", u"-"}, Tail{"Null", nullptr}),
    TailName);

TEST_F(InstallerRunTest, YesInstallsAllRowsInOrderAndShowsTwoBoxes) {
  fake::State().messageBoxResults = {IDYES};
  EXPECT_EQ(InstallerRun(nullptr), 1);

  const std::vector<Box> boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2U);
  ExpectBox(boxes[0], kConsent, kAttention, kConsentStyle);
  ExpectBox(boxes[1], kInstalled, kAttention, kInfoStyle);
  EXPECT_EQ(fake::CallNames().front(), "MessageBoxW") << "consent comes before any store work";
  EXPECT_EQ(fake::CallNames().back(), "MessageBoxW") << "the report comes after the last row";

  EXPECT_EQ(AttemptedRows(), Rows(1, 12));
  std::vector<std::u16string> stores;
  for (const fake::Call& call : fake::CallsTo("CertOpenStore")) stores.push_back(call.text);
  const std::vector<std::u16string> expected = {u"ROOT", u"ROOT", u"ROOT", u"CA", u"CA", u"CA",
                                                u"CA",   u"CA",   u"CA",   u"CA", u"CA", u"CA"};
  EXPECT_EQ(stores, expected);
  EXPECT_EQ(Count("GetLastError"), 0U) << "the success path reads no error";
  EXPECT_EQ(Count("HeapAlloc"), 0U) << "the success path allocates nothing";
}

TEST_F(InstallerRunTest, NoOrAFailedConsentBoxInstallsNothing) {
  // IDNO is the answer; 0 is MessageBoxW failing to show the box at all.
  for (const int answer : {IDNO, 0}) {
    SCOPED_TRACE(answer == IDNO ? "answer IDNO" : "consent box not shown (0)");
    fake::Reset();
    fake::State().messageBoxResults = {answer};
    EXPECT_EQ(InstallerRun(u""), 1);
    const std::vector<Box> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2U);
    ExpectBox(boxes[0], kConsent, kAttention, kConsentStyle);
    ExpectBox(boxes[1], kRefused, kAttention, kInfoStyle);
    EXPECT_EQ(fake::CallNames().size(), 2U) << "no store opened, no certificate decoded";
    ExpectAllReleased();  // before the next case's Reset wipes the counts
  }
}

class FailingRowTest : public InstallerRunTest, public ::testing::WithParamInterface<int> {};

TEST_P(FailingRowTest, StopsAtTheFailedRowAndReportsItsCode) {
  const int failing = GetParam();
  fake::State().messageBoxResults = {IDYES};
  FailAddAtRow(failing, ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(InstallerRun(u""), 1);

  EXPECT_EQ(AttemptedRows(), Rows(1, failing)) << "rows after the failed one are not attempted";
  EXPECT_EQ(Count("CertAddCertificateContextToStore"), static_cast<size_t>(failing));
  const std::vector<Box> boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2U);
  ExpectBox(boxes[1], u"Ошибка установки сертификатов, код 0x00000002", kError, kErrorStyle);
}

TEST_P(FailingRowTest, SilentFailureShowsNothingAndReadsNoError) {
  const int failing = GetParam();
  FailAddAtRow(failing, ERROR_ACCESS_DENIED);

  EXPECT_EQ(InstallerRun(u"-s"), 1);

  EXPECT_EQ(AttemptedRows(), Rows(1, failing));
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(Count("GetLastError"), 0U);
  EXPECT_EQ(Count("HeapAlloc"), 0U);
}

INSTANTIATE_TEST_SUITE_P(FirstMiddleLast, FailingRowTest, ::testing::Values(1, 7, 12),
                         [](const ::testing::TestParamInfo<int>& testCase) {
                           return "Row" + std::to_string(testCase.param);
                         });

struct ErrorCase {
  DWORD code;
  std::u16string text;
};

void PrintTo(const ErrorCase& error, std::ostream* out) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(error.code));
  *out << code;
}

class ErrorBoxTest : public InstallerRunTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ErrorBoxTest, ShowsTheCodeFromAHeapBufferFreedAfterTheBox) {
  fake::State().messageBoxResults = {IDYES};
  fake::State().openStore.push_back(fake::Fails(GetParam().code));

  EXPECT_EQ(InstallerRun(u""), 1);

  const std::vector<Box> boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2U);
  ExpectBox(boxes[1], GetParam().text, kError, kErrorStyle);

  // GetLastError once, before the allocation, then format, show, free.
  std::vector<std::string> tail = fake::CallNames();
  tail.erase(tail.begin(), tail.end() - 5);
  const std::vector<std::string> expected = {"GetLastError", "HeapAlloc", "wsprintfW",
                                             "MessageBoxW", "HeapFree"};
  EXPECT_EQ(tail, expected);
  EXPECT_EQ(Count("GetLastError"), 1U);

  const fake::Call alloc = fake::CallsTo("HeapAlloc").at(0);
  EXPECT_EQ(alloc.args[1], 0U) << "HeapAlloc: flags";
  EXPECT_EQ(alloc.args[2], 2048U) << "HeapAlloc: 1024 UTF-16 units";
  const fake::Call format = fake::CallsTo("wsprintfW").at(0);
  EXPECT_EQ(format.args[0], fake::CallsTo("HeapFree").at(0).args[2])
      << "wsprintfW must write into the heap buffer, and that buffer must be freed";
  EXPECT_EQ(fake::CallsTo("MessageBoxW").at(1).args[1], format.args[0])
      << "MessageBoxW must show the formatted buffer";
  const bool accessDenied = GetParam().code == ERROR_ACCESS_DENIED;
  EXPECT_EQ(format.caption, accessDenied ? kAccessDenied : kFailureFormat)
      << "wsprintfW: wrong format";
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ErrorBoxTest,
    ::testing::Values(ErrorCase{ERROR_ACCESS_DENIED, u"Требуются права администратора"},
                      ErrorCase{ERROR_FILE_NOT_FOUND,
                                u"Ошибка установки сертификатов, код 0x00000002"},
                      ErrorCase{0x8009310b, u"Ошибка установки сертификатов, код 0x8009310b"},
                      ErrorCase{0xabcdef01, u"Ошибка установки сертификатов, код 0xabcdef01"}),
    [](const ::testing::TestParamInfo<ErrorCase>& testCase) {
      char name[16];
      std::snprintf(name, sizeof name, "Code%x", static_cast<unsigned>(testCase.param.code));
      return std::string(name);
    });

TEST_F(InstallerRunTest, ShowsTheCodeLeftByTheFailedRowsReleaseSteps) {
  fake::State().messageBoxResults = {IDYES};
  fake::State().addCertificate.push_back(fake::Fails(0x80070005));
  fake::State().lastErrorAfterClose = ERROR_ACCESS_DENIED;

  InstallerRun(u"");

  ASSERT_EQ(Boxes().size(), 2U);
  EXPECT_EQ(Boxes()[1].text, kAccessDenied);
}

TEST_F(InstallerRunTest, RefusedHeapStillShowsTheWholeErrorText) {
  for (const ErrorCase& c : {ErrorCase{ERROR_ACCESS_DENIED, kAccessDenied},
                             ErrorCase{0xffffffff, u"Ошибка установки сертификатов, код 0xffffffff"}}) {
    SCOPED_TRACE("code " + ::testing::PrintToString(c));
    fake::Reset();
    fake::State().messageBoxResults = {IDYES};
    fake::State().heapRefuses = true;
    fake::State().queryObject.push_back(fake::Fails(c.code));

    EXPECT_EQ(InstallerRun(u""), 1);

    ASSERT_EQ(Boxes().size(), 2U);
    ExpectBox(Boxes()[1], c.text, kError, kErrorStyle);
    EXPECT_EQ(Count("HeapFree"), 0U) << "nothing was allocated, nothing may be freed";
    ExpectAllReleased();  // before the next case's Reset wipes the counts
  }
}

}  // namespace
