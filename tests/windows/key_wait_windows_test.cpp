// The final key wait on a Windows console: the tool runs in a pseudo console
// with standard input from NUL, and the test writes exact key events into
// the console's input buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"
#include "windows/windows_tool.h"

namespace {

constexpr DWORD READY_MS = 30000;  // the tool reaches its wait
constexpr DWORD STILL_WAITING_MS = 400;
constexpr DWORD ENDS_MS = 15000;  // the tool ends after its key

constexpr DWORD RAW_OFF = ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT;

// Presses that yield neither a character nor an extended key code, and key
// releases: the wait goes on through all of them.
std::vector<INPUT_RECORD> ignored_events() {
  INPUT_RECORD focus{};
  focus.EventType = FOCUS_EVENT;
  focus.Event.FocusEvent.bSetFocus = TRUE;
  return {
      key_event(false, 'A', L'a'),                                // a release
      key_event(false, VK_RETURN, L'\r'),                         // another
      key_event(true, VK_SHIFT, 0, SHIFT_PRESSED),                // Shift alone
      key_event(true, VK_CONTROL, 0, LEFT_CTRL_PRESSED),          // Ctrl alone
      key_event(true, VK_MENU, 0, LEFT_ALT_PRESSED),              // Alt alone
      key_event(true, '1', 0, LEFT_CTRL_PRESSED),                 // Ctrl+1
      key_event(true, '6', 0x1E, LEFT_CTRL_PRESSED),              // Ctrl+6
      key_event(true, VK_NUMPAD2, 0, LEFT_CTRL_PRESSED),          // Ctrl+keypad 2
      key_event(true, VK_CAPITAL, 0, CAPSLOCK_ON),                // Caps Lock
      key_event(true, VK_NUMLOCK, 0, ENHANCED_KEY | NUMLOCK_ON),  // Num Lock
      key_event(true, VK_LWIN, 0, ENHANCED_KEY),                  // Windows key
      key_event(true, VK_NUMPAD1, 0, LEFT_ALT_PRESSED),           // Alt+keypad digit
      key_event(false, VK_MENU, 0, 0),                            // Alt released, no char
      focus,
  };
}

// The text a terminal shows, without the control sequences (CSI) the
// console sends with it.
std::string without_terminal_controls(const std::string& screen) {
  std::string text;
  for (std::size_t i = 0; i < screen.size(); ++i) {
    if (screen[i] == '\x1b' && i + 1 < screen.size() && screen[i + 1] == '[') {
      i += 2;
      while (i < screen.size() && !(screen[i] >= '@' && screen[i] <= '~')) ++i;
      continue;
    }
    text += screen[i];
  }
  return text;
}

struct EndingKey {
  const char* name;
  INPUT_RECORD event;
};

// Presses that yield a character or an extended key code: each ends the wait.
const std::vector<EndingKey>& ending_keys() {
  static const std::vector<EndingKey> keys = {
      {"letter", key_event(true, 'A', L'a')},
      {"digit", key_event(true, '7', L'7')},
      {"Enter", key_event(true, VK_RETURN, L'\r')},
      {"Esc", key_event(true, VK_ESCAPE, 0x1B)},
      {"Space", key_event(true, VK_SPACE, L' ')},
      {"Backspace", key_event(true, VK_BACK, 0x08)},
      {"Tab", key_event(true, VK_TAB, L'\t')},
      {"F1", key_event(true, VK_F1, 0)},
      {"F12", key_event(true, VK_F12, 0)},
      {"Up", key_event(true, VK_UP, 0, ENHANCED_KEY)},
      {"Left on the keypad", key_event(true, VK_LEFT, 0)},
      {"Home", key_event(true, VK_HOME, 0, ENHANCED_KEY)},
      {"End", key_event(true, VK_END, 0, ENHANCED_KEY)},
      {"Page Up", key_event(true, VK_PRIOR, 0, ENHANCED_KEY)},
      {"Page Down", key_event(true, VK_NEXT, 0, ENHANCED_KEY)},
      {"Insert", key_event(true, VK_INSERT, 0, ENHANCED_KEY)},
      {"Delete", key_event(true, VK_DELETE, 0, ENHANCED_KEY)},
      {"Alt+X", key_event(true, 'X', 0, LEFT_ALT_PRESSED)},
      {"Ctrl+A", key_event(true, 'A', 0x01, LEFT_CTRL_PRESSED)},
      {"Ctrl+Z without a character", key_event(true, 'Z', 0, RIGHT_CTRL_PRESSED)},
      {"Ctrl+C, a key here, not a break", key_event(true, 'C', 0x03, LEFT_CTRL_PRESSED)},
      {"AltGr+7", key_event(true, '7', L'{', RIGHT_ALT_PRESSED | LEFT_CTRL_PRESSED)},
      {"Alt+keypad character", key_event(false, VK_MENU, L'\u00e9', 0)},
      {"Shift+letter", key_event(true, 'Q', L'Q', SHIFT_PRESSED)},
  };
  return keys;
}

TEST(WindowsKeyWait, EndsOnTheFirstKeyThatYieldsACharacterOrExtendedCode) {
  for (const EndingKey& key : ending_keys()) {
    ConsoleSession session;
    ASSERT_TRUE(session.start({L"-h"})) << key.name;
    ASSERT_TRUE(session.wait_for_raw_mode(READY_MS)) << key.name;
    const long long raw = session.input_mode();
    EXPECT_EQ(raw & RAW_OFF, 0) << "raw mode: no line input, no echo, no Ctrl+C processing";

    ASSERT_TRUE(session.send(ignored_events())) << key.name;
    EXPECT_FALSE(session.ended_within(STILL_WAITING_MS)) << key.name << ": ended too early";

    ASSERT_TRUE(session.send({key.event})) << key.name;
    ASSERT_TRUE(session.ended_within(ENDS_MS)) << key.name << ": did not end";
    EXPECT_EQ(session.exit_code(), 0u) << key.name;
    // The key is consumed: nothing is left for the next program to read.
    EXPECT_EQ(session.pending_events(), 0u) << key.name;
    // The mode in force before the wait is back.
    EXPECT_EQ(session.input_mode(), raw | RAW_OFF) << key.name;
  }
}

// The previous mode is restored exactly, whatever it was.
TEST(WindowsKeyWait, RestoresThePreviousConsoleMode) {
  ConsoleSession session;
  ASSERT_TRUE(session.start({L"-h"}));
  ASSERT_TRUE(session.wait_for_raw_mode(READY_MS));
  ASSERT_TRUE(session.send({key_event(true, 'A', L'a')}));
  ASSERT_TRUE(session.ended_within(ENDS_MS));

  // A second run in the same console, which now has a mode of our choosing.
  const DWORD chosen = ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT |
                       ENABLE_INSERT_MODE | ENABLE_EXTENDED_FLAGS;
  ASSERT_TRUE(session.set_input_mode(chosen));
  ASSERT_EQ(session.input_mode(), chosen);
  ASSERT_TRUE(session.start({L"-h"}));
  ASSERT_TRUE(session.wait_for_raw_mode(READY_MS));
  EXPECT_EQ(session.input_mode(), chosen & ~RAW_OFF);
  ASSERT_TRUE(session.send({key_event(true, VK_F5, 0)}));
  ASSERT_TRUE(session.ended_within(ENDS_MS));
  EXPECT_EQ(session.input_mode(), chosen);
}

// A key typed on the terminal, turned into key events by the console as a
// user's typing is, ends the wait too; the output does not depend on it.
TEST(WindowsKeyWait, TypedKeyEndsTheWait) {
  ConsoleSession session;
  ASSERT_TRUE(session.start({L"-h"}));
  ASSERT_TRUE(session.wait_for_raw_mode(READY_MS));
  EXPECT_FALSE(session.ended_within(STILL_WAITING_MS));
  ASSERT_TRUE(session.type("x"));
  ASSERT_TRUE(session.ended_within(ENDS_MS));
  EXPECT_EQ(session.exit_code(), 0u);
  const std::string out = session.out();
  const std::string done = "\r\nDone.  Press any key to quit.\r\n";
  ASSERT_GE(out.size(), done.size());
  EXPECT_EQ(out.substr(out.size() - done.size()), done);
}

// Keys pressed while the file was being hashed do not answer the prompt
// that follows: the wait starts from an empty input buffer.
TEST(WindowsKeyWait, KeysPressedBeforeTheWaitAreDiscarded) {
  ScratchDir dir;
  make_sparse_file(dir.file("big"), 536870911);  // long enough to type into
  ConsoleSession session;
  ASSERT_TRUE(session.start({L"big"}, widen(dir.path())));
  ASSERT_TRUE(session.attach(READY_MS));
  ASSERT_TRUE(session.send({key_event(true, 'Q', L'q'), key_event(false, 'Q', L'q'),
                            key_event(true, VK_RETURN, L'\r')}));
  // Line input still on: the keys were in the buffer before the wait began.
  const long long mode = session.input_mode();
  if (mode < 0 || (mode & ENABLE_LINE_INPUT) == 0) {
    GTEST_SKIP() << "the tool reached its wait before the keys were pressed";
  }
  ASSERT_TRUE(session.wait_for_raw_mode(READY_MS));
  EXPECT_FALSE(session.ended_within(STILL_WAITING_MS)) << "a key pressed early ended the wait";
  ASSERT_TRUE(session.send({key_event(true, 'A', L'a')}));
  ASSERT_TRUE(session.ended_within(ENDS_MS));
  EXPECT_EQ(session.exit_code(), 536870911u);
}

// The status is passed on unchanged after the wait.
TEST(WindowsKeyWait, ExitStatusComesAfterTheKey) {
  ScratchDir dir;
  write_file(dir.file("z.txt"), std::string(300, 'z'));
  ConsoleSession session;
  ASSERT_TRUE(session.start({L"z.txt"}, widen(dir.path())));
  ASSERT_TRUE(session.wait_for_raw_mode(READY_MS));
  ASSERT_TRUE(session.send({key_event(true, VK_RETURN, L'\r')}));
  ASSERT_TRUE(session.ended_within(ENDS_MS));
  EXPECT_EQ(session.exit_code(), 300u);
}

// Names are printed in UTF-8; a console shows them right because the tool
// switches its output code page to UTF-8 for the run and puts the previous
// one back at the end.
TEST(WindowsConsoleOutput, Utf8CodePageForTheRunThenThePreviousOne) {
  const std::wstring missing = L"\u00f1and\u00fa-\u65e5\u672c.txt";
  ConsoleSession session;
  ASSERT_TRUE(session.start({L"-h"}));  // attaches this process to the console
  ASSERT_TRUE(session.wait_for_raw_mode(READY_MS));
  ASSERT_TRUE(session.send({key_event(true, 'A', L'a')}));
  ASSERT_TRUE(session.ended_within(ENDS_MS));

  ASSERT_TRUE(SetConsoleOutputCP(437));
  ASSERT_TRUE(session.start({missing}, L"", true));
  ASSERT_TRUE(session.wait_for_raw_mode(READY_MS));
  EXPECT_EQ(GetConsoleOutputCP(), static_cast<UINT>(CP_UTF8));
  ASSERT_TRUE(session.send({key_event(true, 'A', L'a')}));
  ASSERT_TRUE(session.ended_within(ENDS_MS));
  EXPECT_EQ(session.exit_code(), 0u);
  EXPECT_EQ(GetConsoleOutputCP(), 437u);
  Sleep(500);  // the console passes its screen on to the terminal side
  const std::string text = without_terminal_controls(session.screen());
  EXPECT_NE(text.find("Cannot open file:"), std::string::npos) << text;
  EXPECT_NE(text.find(narrow(missing)), std::string::npos) << text;
}

}  // namespace
