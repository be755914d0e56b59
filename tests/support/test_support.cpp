#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/wait.h>

ToolRun runTool(const std::string& command, const std::string& errFile) {
    ToolRun run;
    FILE* pipe = popen((command + (errFile.empty() ? " 2>&1" : " 2>" + errFile)).c_str(), "r");
    if (!pipe) {
        return run;
    }
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        run.out.append(buffer, n);
    }
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string readFile(const std::string& path) {
    if (!std::filesystem::is_regular_file(path)) {
        return "(not a file)";
    }
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

int pdfPages(const std::string& pdf) {
    const std::string info = runTool("pdfinfo '" + pdf + "'", "/dev/null").out;
    int pages = -1;
    const size_t at = info.find("Pages:");
    return at != std::string::npos && std::sscanf(info.c_str() + at, "Pages: %d", &pages) == 1
               ? pages
               : -1;
}

ConsoleCapture::ConsoleCapture() {
    testing::internal::CaptureStdout();
}

void ConsoleCapture::start() {
    if (!capturing) {
        testing::internal::CaptureStdout();
        capturing = true;
    }
}

ConsoleCapture::~ConsoleCapture() {
    take();
}

std::string ConsoleCapture::take() {
    if (!capturing) {
        return std::string();
    }
    capturing = false;
    return testing::internal::GetCapturedStdout();
}
