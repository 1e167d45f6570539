#include "app/actions/links.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "app/actions/help_pages.h"
#include "test_support.h"

namespace squeakbox {
namespace {

namespace fs = std::filesystem;
using test::path_of_file_url;
using test::scratch_folder;
using test::write_file;

struct opener_recorder {
    std::vector<std::string> urls;
    bool answer = true;
    url_opener hook() {
        return [this](const std::string& url) {
            urls.push_back(url);
            return answer;
        };
    }
};

TEST(HelpFolder, PrefersTheInstalledPagesThenTheSourceTree) {
    scratch_folder scratch;
    const fs::path bin = scratch.path() / "prefix" / "bin";
    const fs::path installed = scratch.path() / "prefix" / "share" / "squeakbox" / "help";
    const fs::path source = scratch.path() / "src" / "resources" / "help";
    fs::create_directories(bin);

    // Nothing anywhere: the installed place, so the browser names what is missing.
    EXPECT_EQ(find_help_folder(bin, source), installed);
    // A folder without index.html does not count.
    fs::create_directories(installed);
    write_file(source / "index.html", "source");
    EXPECT_EQ(find_help_folder(bin, source), source);
    write_file(installed / "index.html", "installed");
    EXPECT_EQ(find_help_folder(bin, source), installed);
    // Without a known program folder only the source tree is left.
    EXPECT_EQ(find_help_folder("", source), source);
}

TEST(HelpFolder, ThisRunFindsEveryPageTheLinksOpen) {
    // The test program runs from the build tree, so the pages come from the
    // source tree; every link of the window must name a file that is there.
    EXPECT_TRUE(fs::equivalent(help_folder(), SQUEAKBOX_TEST_HELP_FOLDER));
    std::vector<std::string> links = {homepage_link(), apps_link()};
    for (int kind = 0; kind < banner_kind_count; ++kind) links.push_back(*banner_link(kind));
    for (const std::string& link : links) {
        const fs::path page = path_of_file_url(link);
        EXPECT_TRUE(page.is_absolute()) << link;
        EXPECT_TRUE(fs::is_regular_file(page)) << link;
        EXPECT_GT(fs::file_size(page), 500u) << link;
    }
    EXPECT_EQ(path_of_file_url(homepage_link()).filename(), "index.html");
    EXPECT_EQ(path_of_file_url(apps_link()).filename(), "render.html");
}

TEST(FileUrl, EscapesEverythingButThePathStructure) {
    const std::string url = file_url("/home/J\xC3\xBCrgen/Eigene Dateien/100%/a#b?c.html");
    EXPECT_EQ(url, "file:///home/J%C3%BCrgen/Eigene%20Dateien/100%25/a%23b%3Fc.html");
    EXPECT_EQ(path_of_file_url(url), "/home/J\xC3\xBCrgen/Eigene Dateien/100%/a#b?c.html");
}

TEST(Banner, KindFourOpensTheCallsPageAndUnknownKindsOpenNothing) {
    EXPECT_EQ(banner_setup(), 4);

    opener_recorder opener;
    open_banner_link(banner_setup(), opener.hook());
    ASSERT_EQ(opener.urls.size(), 1u);
    EXPECT_EQ(path_of_file_url(opener.urls[0]).filename(), "calls.html");
    EXPECT_TRUE(fs::is_regular_file(path_of_file_url(opener.urls[0])));

    for (const int kind : {-1, 5, 6, 145, INT_MIN, INT_MAX}) {
        EXPECT_FALSE(banner_link(kind).has_value()) << kind;
        open_banner_link(kind, opener.hook());
    }
    EXPECT_EQ(opener.urls.size(), 1u);
    for (int kind = 0; kind < banner_kind_count; ++kind) {
        EXPECT_TRUE(banner_link(kind).has_value()) << kind;
    }
}

TEST(OpenLink, HandsTheLinkOverAndIgnoresTheAnswer) {
    opener_recorder opener;
    opener.answer = false;
    open_link(homepage_link(), opener.hook());
    open_link(apps_link(), opener.hook());
    open_link("", opener.hook());
    EXPECT_EQ(opener.urls, (std::vector<std::string>{homepage_link(), apps_link()}));
    // No opener at all (a window without a desktop) is not a crash.
    open_link(apps_link(), url_opener{});
}

}  // namespace
}  // namespace squeakbox
