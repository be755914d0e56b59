#pragma once

// Small helpers every test process may use: a tool run through the shell, a file's
// bytes, a PDF's page count and the console output of a stretch of code.

#include <string>
#include <vector>

struct ToolRun {
    int status = -1; // exit code, -1 when the tool did not exit normally
    std::string out; // standard output, with standard error unless it went to a file
};

// Runs `command` through the shell; standard error joins the output unless `errFile`
// names a file for it.
ToolRun runTool(const std::string& command, const std::string& errFile = "");

// The bytes of a file, "(not a file)" when there is no regular file at `path`.
std::string readFile(const std::string& path);

// The lines of a text, without their line ends.
std::vector<std::string> lines(const std::string& text);

// The page count pdfinfo reports, -1 when it reports none.
int pdfPages(const std::string& pdf);

// Captures standard output (every writer of the process's descriptor 1) from
// construction, or start(), until take() or the end of the scope. Keep it short: a
// failed expectation's message printed meanwhile is captured too.
class ConsoleCapture {
public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Captures again after take().
    void start();
    // Ends the capture and returns what was printed.
    std::string take();

private:
    bool capturing = true;
};
