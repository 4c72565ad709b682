#include <gtest/gtest.h>

#include <vector>

#include "core/app_options.h"

using namespace kvr;

namespace {

struct Parsed {
    bool ok;
    AppOptions opts;
    std::string error;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "prog");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed p;
    p.ok = parseAppOptions(static_cast<int>(args.size()), argv.data(), "/opt/kvr", p.opts, p.error);
    return p;
}

}  // namespace

TEST(AppOptions, AcceptedCommandLines) {
    using Answers = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        std::vector<std::string> args;
        std::string folder;
        bool unattended;
        Answers answers;
        std::string trace;
    };
    const Case cases[] = {
        {{}, "/opt/kvr", false, {}, ""},
        {{"--folder", "/tmp/x y"}, "/tmp/x y", false, {}, ""},
        {{"--folder=/data"}, "/data", false, {}, ""},
        {{"--unattended", "--trace", "t.log"}, "/opt/kvr", true, {}, "t.log"},
        {{"--trace=t.log", "--unattended"}, "/opt/kvr", true, {}, "t.log"},
        // Repeated titles keep their order; the text may hold "=" and be empty.
        {{"--answer", "Serial Port=3", "--answer=ERROR=0", "--answer", "Serial Port=a=b", "--answer", "Q="},
         "/opt/kvr",
         false,
         {{"Serial Port", "3"}, {"ERROR", "0"}, {"Serial Port", "a=b"}, {"Q", ""}},
         ""},
        {{"--answer", "Set date=Yes", "--unattended", "--folder", "f"}, "f", true, {{"Set date", "Yes"}}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Parsed p = parse(c.args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.opts.folder, c.folder);
        EXPECT_EQ(p.opts.unattended, c.unattended);
        EXPECT_EQ(p.opts.answers, c.answers);
        EXPECT_EQ(p.opts.traceFile, c.trace);
        EXPECT_FALSE(p.opts.help);
    }
}

TEST(AppOptions, RefusedCommandLines) {
    const std::vector<std::string> cases[] = {
        {"--folder"},            {"--trace"},          {"--answer"},
        {"--answer", "NoEquals"}, {"--answer", "=x"},  {"--folder="},
        {"--bogus"},             {"positional"},       {"--unattended", "--trace="},
        {"-u"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c));
        const Parsed p = parse(c);
        EXPECT_FALSE(p.ok);
        EXPECT_FALSE(p.error.empty());
    }
}

TEST(AppOptions, HelpNamesEveryOption) {
    EXPECT_TRUE(parse({"--help"}).opts.help);
    EXPECT_TRUE(parse({"-h", "--unattended"}).opts.help);
    const std::string help = appOptionsHelp("Otter");
    for (const char* opt : {"Otter", "--folder", "--unattended", "--answer", "--trace", "--help"})
        EXPECT_NE(help.find(opt), std::string::npos) << opt;
}
