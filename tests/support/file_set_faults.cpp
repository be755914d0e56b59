#include "file_set_faults.h"

#include "file_set.h"

#include <filesystem>

namespace {

const std::string checkStep = "check ";

} // namespace

bool faultApplies(const std::string& step, SetFault fault) {
    return fault != SetFault::Cut || step.rfind(checkStep, 0) == 0;
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
