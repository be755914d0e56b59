// brisel-lens on the rig's chessboard photos: the lens files it writes give maps within
// a pixel of the rig's true maps, and bad input leaves nothing behind.
#include "chessboard.h"
#include "lens_calibration.h"
#include "lens_maps.h"
#include "test_rig.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>

#if !defined(BRISEL_LENS_PATH) || !defined(BRISEL_RIG_PATH)
#error "BRISEL_LENS_PATH and BRISEL_RIG_PATH must name the tools"
#endif

namespace fs = std::filesystem;

namespace {

const std::string lensTool = BRISEL_LENS_PATH;

// The rig's chessboard photos, made once per test process through the command line.
const std::vector<std::string>& photos() {
    static const std::vector<std::string> list = [] {
        const std::string dir = processFolder("chessboard");
        const ToolRun made =
            runTool(std::string(BRISEL_RIG_PATH) + " --out " + dir + " --chessboard");
        std::vector<std::string> files;
        for (const fs::directory_entry& e : fs::directory_iterator(dir + "/chessboard")) {
            files.push_back(e.path().string());
        }
        std::sort(files.begin(), files.end());
        if (made.status != 0 || files.size() != rig::chessboardPoses().size()) {
            ADD_FAILURE() << "brisel-rig --chessboard failed:\n" << made.out;
        }
        return files;
    }();
    return list;
}

std::string joined(const std::vector<std::string>& paths) {
    std::string s;
    for (const std::string& p : paths) {
        s += " " + p;
    }
    return s;
}

// Copies of some photos changed by `edit`, written into the working directory.
std::vector<std::string> editedPhotos(const std::vector<int>& which,
                                      const std::function<cv::Mat(const cv::Mat&)>& edit) {
    std::vector<std::string> out;
    for (int i : which) {
        out.push_back("edited_" + std::to_string(i) + ".jpg");
        cv::imwrite(out.back(), edit(cv::imread(photos().at(i))), {cv::IMWRITE_JPEG_QUALITY, 95});
    }
    return out;
}

// Where a map pair sends each canvas pixel, in frame pixels.
cv::Mat sourcePositions(const cv::Mat& map1, const cv::Mat& map2) {
    cv::Mat whole, fx, fy, frac;
    map1.convertTo(whole, CV_32FC2);
    cv::Mat index;
    map2.convertTo(index, CV_32S);
    cv::Mat column = index & (cv::INTER_TAB_SIZE - 1);
    cv::Mat(index - column).convertTo(fy, CV_32F, 1.0 / (cv::INTER_TAB_SIZE * cv::INTER_TAB_SIZE));
    column.convertTo(fx, CV_32F, 1.0 / cv::INTER_TAB_SIZE);
    cv::merge(std::vector<cv::Mat>{fx, fy}, frac);
    return whole + frac;
}

// The rig's corners, or the same grid numbered from the other end, whichever is closer.
double meanCornerError(const std::vector<cv::Point2f>& found, std::vector<cv::Point2f> truth) {
    double best = 1e9;
    for (int turn = 0; turn < 2; ++turn) {
        double sum = 0.0;
        for (size_t i = 0; i < found.size(); ++i) {
            sum += cv::norm(found[i] - truth[i]);
        }
        best = std::min(best, sum / found.size());
        std::reverse(truth.begin(), truth.end());
    }
    return best;
}

} // namespace

TEST(LensCorners, FoundToATenthOfAPixelInEveryPhoto) {
    const std::vector<rig::ChessboardPose> poses = rig::chessboardPoses();
    ASSERT_EQ(photos().size(), poses.size());
    for (size_t i = 0; i < poses.size(); ++i) {
        const cv::Mat grey = cv::imread(photos()[i], cv::IMREAD_GRAYSCALE);
        std::vector<cv::Point2f> corners;
        ASSERT_TRUE(lens_calibration::findCorners(
            grey, cv::Size(rig::chessboardCols, rig::chessboardRows), corners))
            << photos()[i];
        ASSERT_EQ(corners.size(), size_t(rig::chessboardCols * rig::chessboardRows));
        EXPECT_LT(meanCornerError(corners, rig::chessboardCorners(poses[i])), 0.1) << photos()[i];
    }
}

TEST(BriselLens, RigPhotosGiveTheRigLensWithinTargets) {
    ScopedWorkDir work("lens");
    const size_t count = photos().size();
    // Lens files of an earlier lens stay until --force.
    fs::create_directories("lens");
    std::ofstream("lens/intrinsic.xml") << "old lens";
    std::ofstream("lens/map1.png") << "old map";
    const ToolRun refused = runTool(lensTool + " --out lens" + joined(photos()));
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.out.find("lens already holds lens files (intrinsic.xml, map1.png)"),
              std::string::npos)
        << refused.out;
    EXPECT_EQ(readFile("lens/intrinsic.xml"), "old lens");
    EXPECT_EQ(readFile("lens/map1.png"), "old map");

    const ToolRun fitted =
        runTool(lensTool + " --force --square 25 --out lens" + joined(photos()), "progress.txt");
    ASSERT_EQ(fitted.status, 0) << fitted.out << readFile("progress.txt");
    const std::string& text = fitted.out;
    std::cout << text;
    // One line per photo, the result line, then the files and the reminder.
    std::istringstream lines(text);
    std::string line;
    for (size_t i = 0; i < count; ++i) {
        ASSERT_TRUE(std::getline(lines, line));
        EXPECT_TRUE(std::regex_match(line, std::regex(".*photo_\\d\\d\\.jpg: error 0\\.\\d{3} px")))
            << line;
    }
    ASSERT_TRUE(std::getline(lines, line));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m,
                                 std::regex("lens: fx [\\d.]+ fy [\\d.]+ cx [\\d.]+ cy [\\d.]+ "
                                            "rms 0\\.\\d{3} views (\\d+) of (\\d+)")))
        << line;
    EXPECT_EQ(std::stoul(m[2]), count);
    EXPECT_GE(std::stoul(m[1]), count - 1);
    EXPECT_NE(text.find("restart Brisel and calibrate the board again"), std::string::npos);
    EXPECT_NE(text.find("coverage: photos reach "), std::string::npos);
    EXPECT_EQ(text.find("warning: "), std::string::npos);
    EXPECT_NE(readFile("progress.txt").find("photo 1 of " + std::to_string(count)),
              std::string::npos);

    // The maps are the ones brisel-maps makes from the model (the same lens_maps code).
    cv::Mat k, d;
    std::string why;
    ASSERT_TRUE(lens_maps::readModel("lens/intrinsic.xml", "lens/distortion.xml", k, d, why))
        << why;
    cv::Mat map1, map2, made1, made2;
    ASSERT_TRUE(lens_maps::readMapPngs("lens/map1.png", "lens/map2.png", map1, map2, why)) << why;
    lens_maps::makeFullMaps(k, d, made1, made2);
    EXPECT_EQ(cv::norm(map1, made1, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(map2, made2, cv::NORM_INF), 0.0);

    // Against the rig's true maps, over the canvas whose sources lie in the frame and
    // over the board of the rig's scenes.
    cv::Mat true1, true2;
    const rig::Camera cam = rig::camera();
    lens_maps::makeFullMaps(cam.k, cam.d, true1, true2);
    const cv::Mat truth = sourcePositions(true1, true2);
    cv::Mat delta = sourcePositions(map1, map2) - truth;
    std::vector<cv::Mat> xy;
    cv::split(delta, xy);
    cv::Mat distance;
    cv::magnitude(xy[0], xy[1], distance);
    cv::Mat valid;
    cv::inRange(truth, cv::Scalar(0, 0), cv::Scalar(3839, 2159), valid);
    cv::Mat board = cv::Mat::zeros(valid.size(), CV_8U);
    std::vector<cv::Point> quad;
    for (const cv::Point2f& c : rig::canvasCorners()) {
        quad.emplace_back(cvRound(c.x), cvRound(c.y) - lens_maps::padRows);
    }
    cv::fillConvexPoly(board, quad, cv::Scalar(255));
    board &= valid;
    ASSERT_GT(cv::countNonZero(valid), valid.total() * 9 / 10);
    const double canvas = cv::mean(distance, valid)[0];
    const double region = cv::mean(distance, board)[0];
    std::cout << "map error, frame pixels: canvas mean " << canvas << "; board mean " << region
              << std::endl;
    EXPECT_LE(canvas, 1.0);
    EXPECT_LE(region, 0.7);
}

struct ShapeRow {
    const char* name;
    std::vector<int> photos;
    cv::Rect crop;                  // of the 3840 x 2160 photo
    cv::Size scale;                 // then resized to this
    std::vector<const char*> files; // in the lens folder afterwards
    bool newModel;                  // intrinsic.xml replaced
    const char* message;
    bool force; // else the lens files already there are only replaced when none are written
    bool warns; // the photos leave the picture's outer part uncovered
};

class BriselLensShapes : public testing::TestWithParam<ShapeRow> {};

// Photos of other sizes are calibrated; only 16:9 ones give lens files, only 4K ones
// maps, and the maps of the replaced lens do not stay beside the new model.
TEST_P(BriselLensShapes, WritesWhatTheShapeAllows) {
    const ShapeRow& row = GetParam();
    ScopedWorkDir work(row.name);
    const std::vector<std::string> edited = editedPhotos(row.photos, [&row](const cv::Mat& p) {
        cv::Mat out;
        cv::resize(p(row.crop), out, row.scale, 0, 0, cv::INTER_AREA);
        return out;
    });
    fs::create_directories("lens");
    for (const char* name : {"intrinsic.xml", "distortion.xml", "map1.png", "map2.png"}) {
        std::ofstream("lens/" + std::string(name)) << "old lens";
    }
    const ToolRun fitted =
        runTool(lensTool + (row.force ? " --force --out lens" : " --out lens") + joined(edited));
    ASSERT_EQ(fitted.status, 0) << fitted.out;
    const std::string& text = fitted.out;
    EXPECT_EQ(text.find("\nwarning: ") != std::string::npos, row.warns) << text;
    EXPECT_NE(text.find("views " + std::to_string(row.photos.size()) + " of " +
                        std::to_string(row.photos.size())),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(row.message), std::string::npos) << text;
    std::vector<std::string> files;
    for (const fs::directory_entry& e : fs::directory_iterator("lens")) {
        files.push_back(e.path().filename().string());
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, std::vector<std::string>(row.files.begin(), row.files.end()));
    if (row.newModel) {
        cv::Mat k, d;
        std::string why;
        ASSERT_TRUE(lens_maps::readModel("lens/intrinsic.xml", "lens/distortion.xml", k, d, why));
        EXPECT_LT(cv::norm(k, rig::camera().k, cv::NORM_INF), 0.5) << k;
    } else {
        EXPECT_EQ(readFile("lens/intrinsic.xml"), "old lens");
    }
}

INSTANTIATE_TEST_SUITE_P(
    BriselLens, BriselLensShapes,
    testing::Values(ShapeRow{"FourByThree",
                             {1, 2, 3, 6, 9, 11},
                             cv::Rect(480, 0, 2880, 2160),
                             cv::Size(2880, 2160),
                             {"distortion.xml", "intrinsic.xml", "map1.png", "map2.png"},
                             false,
                             "not 16:9 like the camera's frames: no lens files written",
                             false,
                             true},
                    ShapeRow{"FullHd",
                             {0, 1, 2, 3, 4, 5, 7, 8, 10},
                             cv::Rect(0, 0, 3840, 2160),
                             cv::Size(1920, 1080),
                             {"distortion.xml", "intrinsic.xml"},
                             true,
                             "not 3840 x 2160: no maps written and the old lens's maps removed",
                             true,
                             false},
                    // Only the middle: the fit holds, but nothing pins the picture's edges.
                    ShapeRow{"MiddleOnly",
                             {1, 3, 6, 9},
                             cv::Rect(0, 0, 3840, 2160),
                             cv::Size(3840, 2160),
                             {"distortion.xml", "intrinsic.xml", "map1.png", "map2.png"},
                             true,
                             "coverage: photos reach 4",
                             true,
                             true}),
    [](const testing::TestParamInfo<ShapeRow>& i) { return std::string(i.param.name); });

struct BadRow {
    const char* name;
    std::function<std::string()> args; // after --out lens
    const char* message;
};

class BriselLensBadInput : public testing::TestWithParam<BadRow> {};

TEST_P(BriselLensBadInput, ExitsTwoAndWritesNothing) {
    ScopedWorkDir work(GetParam().name);
    const cv::Mat blank(2160, 3840, CV_8UC3, cv::Scalar(128, 128, 128));
    for (const char* name : {"blank1.jpg", "blank2.jpg", "blank3.jpg"}) {
        cv::imwrite(name, blank);
    }
    cv::imwrite("small.jpg", cv::Mat(1080, 1920, CV_8UC3, cv::Scalar::all(128)));
    // The board of the first photo, at the left edge, pushed half out of the picture.
    const cv::Mat whole = cv::imread(photos()[0]);
    cv::Mat cut = cv::Mat::zeros(whole.size(), whole.type());
    whole.colRange(600, whole.cols).copyTo(cut.colRange(0, whole.cols - 600));
    cv::imwrite("cut.jpg", cut);
    std::ofstream("notes.jpg") << "not a picture";
    const ToolRun run = runTool(lensTool + " --out lens " + GetParam().args());
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.out.find(GetParam().message), std::string::npos) << run.out;
    EXPECT_FALSE(fs::exists("lens"));
}

INSTANTIATE_TEST_SUITE_P(
    BriselLens, BriselLensBadInput,
    testing::Values(BadRow{"MissingValue", [] { return std::string("a.jpg --square"); },
                           "--square needs a value"},
                    BadRow{"TwoViews", [] { return photos()[0] + " " + photos()[1] + " cut.jpg"; },
                           "only 2 usable view(s), at least 3 are needed; nothing written"},
                    // Fitted to the middle alone, the curve turns back before the corners.
                    BadRow{"FoldingLens",
                           [] {
                               return photos()[1] + " " + photos()[2] + " " + photos()[3] + " " +
                                      photos()[6] + " " + photos()[9] + " " + photos()[11];
                           },
                           "the fitted lens would fold the picture"},
                    BadRow{"DifferentSizes", [] { return photos()[0] + " small.jpg"; },
                           "photos of different sizes: "},
                    BadRow{"PatternNeverAppears",
                           [] { return std::string("blank1.jpg blank2.jpg blank3.jpg"); },
                           "the 9x6 chessboard was not found in any photo"},
                    BadRow{"Unreadable", [] { return std::string("notes.jpg missing.jpg"); },
                           "none of the photos can be read"}),
    [](const testing::TestParamInfo<BadRow>& i) { return std::string(i.param.name); });
