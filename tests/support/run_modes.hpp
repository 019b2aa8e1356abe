#pragma once
// The three ways a debug run goes, one row each: for the run itself (unit
// DebugRun.Modes) and for the dialog's handler that starts it (gui
// ProcessDebugLogTest.Modes). Each row names the tests it stands for.
namespace testsupport {

struct RunMode {
  const char *name;
  bool logging; // "启动日志" ticked: the channel and the assignments reach the program
  bool file;    // a log file chosen
  bool captured() const { return logging && file; }
};

inline constexpr RunMode kRunModes[] = {
    // DebugRun.LoggingOffRunsTheCommandLineAlone,
    // ProcessDebugLogTest.LoggingOffRunsOnlyTheCommandLine
    {"logging off runs the command line alone", false, true},
    // DebugRun.LoggingWithoutFileSetsChannelButCapturesNothing,
    // ProcessDebugLogTest.LoggingWithoutFileSetsChannelAndEnvironment
    {"logging without a file sets channel and environment, captures nothing", true, false},
    // DebugRun.CapturedRunLogsBothStreamsAndDeletesCategory,
    // ProcessDebugLogTest.CapturedRunWritesTheLogFile
    {"captured run logs both streams into the file and deletes the category", true, true},
};

} // namespace testsupport
