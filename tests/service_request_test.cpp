// What the update service takes from its caller: exactly the verb, a request id and one
// installer path of a plain form; and the status it hands back, read as it was written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/request.h"

namespace {

const char* const kId = "0f8fad5b-d9cb-469f-a165-70867728950e";

TEST(ServiceRequest, OnlyTheVerbAnIdAndAPlainPathOnADriveAreTaken) {
    const std::string long_path = "C:\\" + std::string(252, 'a') + ".exe";  // 259 characters
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        const char* why;  // empty: taken
    } cases[] = {
        {"a request", {"install", kId, "C:\\Users\\Zoe\\AppData\\Roaming\\setup.exe"}, ""},
        {"upper-case id and drive",
         {"install", "0F8FAD5B-D9CB-469F-A165-70867728950E", "D:\\s.exe"},
         ""},
        {"the longest path", {"install", kId, long_path}, ""},
        {"no arguments", {}, "the request has 0 arguments, not 3"},
        {"an argument more",
         {"install", kId, "C:\\s.exe", "/D=C:\\Elsewhere"},
         "the request has 4 arguments, not 3"},
        {"another verb", {"uninstall", kId, "C:\\s.exe"}, "the verb is not install"},
        {"the verb in capitals", {"INSTALL", kId, "C:\\s.exe"}, "the verb is not install"},
        {"an id in braces",
         {"install", std::string("{") + kId + "}", "C:\\s.exe"},
         "the request id is not a GUID"},
        {"an id with a letter that is no digit",
         {"install", "0f8fad5b-d9cb-469f-a165-70867728950g", "C:\\s.exe"},
         "the request id is not a GUID"},
        {"an id with a dash out of place",
         {"install", "0f8fad5bd-9cb-469f-a165-70867728950e", "C:\\s.exe"},
         "the request id is not a GUID"},
    };
    const char* const bad_path = "the installer path is not a plain path on a drive";
    const char* const bad_paths[] = {
        "\\\\server\\share\\setup.exe",       // a share
        "\\\\?\\C:\\setup.exe",               // the long-path form
        "\\\\.\\PhysicalDrive0",              // a device
        "C:\\Users\\Zoe\\setup.exe:hidden",   // a stream
        "C:setup.exe",                        // relative to the drive's working folder
        "setup.exe",                          // relative
        "C:\\Users\\..\\Windows\\setup.exe",  // a parent
        "C:\\Users\\.\\setup.exe",            // the folder itself
        "C:\\Users\\\\setup.exe",             // an empty name
        "C:\\Users/Zoe\\setup.exe",           // a forward slash
        "C:\\Users\\setup.exe.",              // a trailing dot that Windows drops
        "C:\\Users\\setup.exe ",              // a trailing space
        "C:\\Users\\set\x01up.exe",           // a control character
        "C:\\Users\\setup?.exe",              // a wildcard
        "C:\\Users\\",                        // a folder's form
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    for (const char* path : bad_paths) all.push_back({path, {"install", kId, path}, bad_path});
    const std::string too_long = long_path + "x";
    all.push_back({"longer than MAX_PATH", {"install", kId, too_long}, bad_path});
    for (const Case& c : all) {
        service::Request request;
        std::string why;
        const bool taken = service::read_request(c.arguments, request, why);
        EXPECT_EQ(taken, c.why[0] == '\0') << c.name;
        if (taken) {
            EXPECT_EQ(request.id, c.arguments[1]) << c.name;
            EXPECT_EQ(request.installer, c.arguments[2]) << c.name;
        } else {
            EXPECT_EQ(why, c.why) << c.name;
            EXPECT_TRUE(request.id.empty()) << c.name;
        }
    }
}

TEST(ServiceRequest, AStatusIsReadAsItWasWritten) {
    service::Status working;
    working.step = 3;
    service::Status ended;
    ended.step = 17;
    ended.result = "rolled_back";
    ended.reason = "installer_exit_code";
    ended.window_text = "rolled_back";
    ended.notice = "The installer \xe5\xae\x89\xe8\xa3\x85 \"v2\" failed.";
    ended.ask_administrator = true;
    ended.exit_code = 2;
    ended.previous_version = "1.0.0";
    for (const service::Status& status : {working, ended}) {
        service::Status read;
        ASSERT_TRUE(service::read_status_text(service::status_text(status), read));
        EXPECT_EQ(read.step, status.step);
        EXPECT_EQ(read.result, status.result);
        EXPECT_EQ(read.reason, status.reason);
        EXPECT_EQ(read.window_text, status.window_text);
        EXPECT_EQ(read.notice, status.notice);
        EXPECT_EQ(read.ask_administrator, status.ask_administrator);
        EXPECT_EQ(read.exit_code, status.exit_code);
        EXPECT_EQ(read.previous_version, status.previous_version);
        EXPECT_EQ(read.version, status.version);
    }
    // A status cut short, as a reader could never see it, or no status at all.
    service::Status untouched;
    untouched.step = 5;
    for (const std::string& text :
         {service::status_text(ended).substr(0, 40), std::string("[]"), std::string("{}")}) {
        EXPECT_FALSE(service::read_status_text(text, untouched)) << text;
        EXPECT_EQ(untouched.step, 5) << text;
    }
}

}  // namespace
