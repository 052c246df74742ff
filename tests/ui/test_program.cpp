// The real pixsalvo3 on an X server (Xvfb): it opens its main window with an emulated
// card attached, closes normally, and leaves its settings and the log's exit line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/fixtures.h"

namespace {

// xvfb-run with its own first display number: two tests that start X servers at once
// both take the first free number with -a alone, and one of them cannot reach its server.
std::string XvfbRun()
{
    return "xvfb-run -a -n " + std::to_string(100 + ::getpid() % 800);
}

TEST(Program, OpensItsWindowOnAnXServerAndClosesNormally)
{
    px::test::TempHome home;
    const std::string card = home.File("card.img");
    ASSERT_TRUE(px::test::MakeBlankImage(card, 8 << 20));
    const std::string script = R"SH(
set -e
# The program on this X server, whatever platform the test itself runs on.
unset QT_QPA_PLATFORM
export HOME="$1" XDG_CONFIG_HOME="$1/.config" XDG_RUNTIME_DIR="$1"
chmod 700 "$1"
PX3_CARDS="F=$1/missing.img;E=$2" "$3" > "$1/program.log" 2>&1 &
pid=$!
start=$(date +%s%N)
window=""
for i in $(seq 1 500); do
  window=$(xdotool search --name '^Pixsalvo 3$' 2>/dev/null | head -1 || true)
  [ -n "$window" ] && break
  sleep 0.02
done
echo "shown_ms=$(( ($(date +%s%N) - start) / 1000000 ))"
[ -n "$window" ] || { echo "no window"; kill $pid; exit 1; }
xdotool getwindowgeometry --shell "$window"
sleep 0.5
xdotool key --window "$window" Escape
sleep 0.6
xdotool key --window "$window" ctrl+q
for i in $(seq 1 200); do kill -0 $pid 2>/dev/null || break; sleep 0.05; done
status=0
wait $pid || status=$?
echo "exit=$status"
)SH";
    const std::string file = home.File("drive.sh");
    std::ofstream(file) << script;
    std::string out;
    ASSERT_EQ(px::test::Run(XvfbRun() + " -s '-screen 0 1024x768x24' bash " + px::test::Quote(file) + " " +
                                px::test::Quote(home.Path()) + " " + px::test::Quote(card) + " " +
                                px::test::Quote(PIXSALVO3_EXE) + " 2>&1",
                            &out),
              0)
        << out;
    EXPECT_NE(out.find("WIDTH=693"), std::string::npos) << out;
    EXPECT_NE(out.find("HEIGHT=462"), std::string::npos) << out;
    EXPECT_NE(out.find("exit=0"), std::string::npos) << out;
    std::ifstream log(home.File("Documents/PX3Log.txt"));
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_NE(text.str().find("==Exit App"), std::string::npos) << text.str();
    // The card that could not be attached is in the log with its reason.
    EXPECT_NE(text.str().find("PX3_CARDS: Cannot open card image " + home.File("missing.img") +
                              ": No such file or directory"),
              std::string::npos)
        << text.str();
    EXPECT_TRUE(std::filesystem::exists(home.File(".config/Tolvex Media/Pixsalvo3.conf")));
    // The card notices' start-up lines, once each and in order (an image card needs the
    // polling listener).
    const std::string& lines = text.str();
    const size_t subscribe = lines.find("Subscribe"), running = lines.find("Running Listener"),
                 run = lines.find("Run Listener");
    ASSERT_NE(run, std::string::npos) << lines;
    EXPECT_LT(subscribe, running) << lines;
    EXPECT_LT(running, run) << lines;
    EXPECT_EQ(lines.find("Running Listener", running + 1), std::string::npos) << lines;
    EXPECT_EQ(lines.find("Run Listener", run + 1), std::string::npos) << lines;
}

// A whole recovery through the accessibility interface alone (AT-SPI, as screen readers
// and accessibility clients use it): no mouse and no key events reach the window.
TEST(Program, RecoveryDrivenThroughTheAccessibilityInterface)
{
    px::test::TempHome home;
    const std::string card = home.File("card.img");
    px::test::MakeDemoCard(card, 16);
    const std::string script = R"SH(
set -e
unset QT_QPA_PLATFORM
export HOME="$1" XDG_CONFIG_HOME="$1/.config" XDG_RUNTIME_DIR="$1"
chmod 700 "$1"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
/usr/libexec/at-spi-bus-launcher --launch-immediately &
bus=$!
# The program looks for the accessibility bus once, at start: it must be there first.
for i in $(seq 1 100); do
  dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null 2>&1 && break
  sleep 0.1
done
PX3_CARDS="E=$2" "$3" > "$1/program.log" 2>&1 &
pid=$!
status=0
/usr/bin/python3 "$4" "$1/Saved" Trip || status=$?
[ $status -eq 0 ] || tail -20 "$1/program.log"
for i in $(seq 1 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
kill $pid $bus 2>/dev/null || true
echo "driver=$status"
)SH";
    const std::string file = home.File("drive.sh");
    std::ofstream(file) << script;
    std::string out;
    px::test::Run("timeout 300 " + XvfbRun() + " -s '-screen 0 1280x1024x24' dbus-run-session -- bash " + px::test::Quote(file) +
                      " " + px::test::Quote(home.Path()) + " " + px::test::Quote(card) + " " +
                      px::test::Quote(PIXSALVO3_EXE) + " " +
                      px::test::Quote(std::string(PX3_SOURCE_DIR) + "/tests/ui/atspi_recovery.py") + " 2>&1",
                  &out);
    ASSERT_NE(out.find("driver=0"), std::string::npos) << out;
    // What the driver read and did, and the files where the save put them.
    for (const char* line : {"value Images Found: = ", "value Selected = ", "value Total Size: = ", "value Bytes Verified: = ",
                             "value Restored Images Location: = ", "value Progress text = "})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    size_t saved = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home.File("Saved")))
        saved += entry.is_regular_file();
    const size_t found = out.find("value Images Found: = ");
    ASSERT_NE(found, std::string::npos) << out;
    EXPECT_EQ(saved, std::stoul(out.substr(found + 22))) << out;
}

// --help and --version answer without a display (no X server, the xcb platform asked for)
// and never open the window.
TEST(Program, HelpAndVersionNeedNoDisplay)
{
    px::test::TempHome home;
    const std::string run = "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb HOME=" +
                            px::test::Quote(home.Path()) + " timeout 20 " + px::test::Quote(PIXSALVO3_EXE);
    std::string out;
    ASSERT_EQ(px::test::Run(run + " --help 2>&1", &out), 0) << out;
    EXPECT_EQ(out.rfind("Usage: pixsalvo3 [--help] [--version]\n", 0), 0u) << out;
    EXPECT_NE(out.find("PX3_CARDS"), std::string::npos) << out;
    ASSERT_EQ(px::test::Run(run + " --version 2>&1", &out), 0) << out;
    ASSERT_GT(out.size(), 11u) << out;
    EXPECT_EQ(out.substr(0, 10), "pixsalvo3 ") << out;
    EXPECT_TRUE(out[10] >= '0' && out[10] <= '9') << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
    // Without those arguments the program still needs its display, and says so.
    EXPECT_NE(px::test::Run(run + " 2>&1", &out), 0) << out;
    EXPECT_NE(out.find("display"), std::string::npos) << out;
}

}  // namespace
