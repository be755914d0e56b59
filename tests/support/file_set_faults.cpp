#include "file_set_faults.h"

#include "file_set.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

namespace {

const std::string checkStep = "check ";

} // namespace

bool faultApplies(const std::string& step, SetFault fault) {
    return fault != SetFault::Cut || step.rfind(checkStep, 0) == 0;
}

std::string folderText(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(e.path(), std::ios::binary);
        files[e.path().filename().string()] =
            std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string text;
    for (const auto& [name, bytes] : files) {
        text += name + ":" + bytes + "\n";
    }
    return text;
}

const char* faultName(SetFault fault) {
    return fault == SetFault::Fail ? " failed" : fault == SetFault::Kill ? " killed" : " cut";
}

void injectFault(const std::string& dir, const std::string& step, SetFault fault) {
    file_set::beforeStep = [dir, step, fault](const std::string& now) {
        if (now != step) {
            return file_set::Step::Go;
        }
        if (fault == SetFault::Cut) {
            const std::string staged =
                dir + "/" + file_set::stagedName(now.substr(checkStep.size()));
            std::filesystem::resize_file(staged, std::filesystem::file_size(staged) / 2);
            return file_set::Step::Go;
        }
        return fault == SetFault::Fail ? file_set::Step::Fail : file_set::Step::Stop;
    };
}

void clearFault() {
    file_set::beforeStep = nullptr;
}
