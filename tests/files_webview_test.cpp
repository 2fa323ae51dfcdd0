// needs: display bus
// The whfile scheme in the real web view: the application's page reads files through it,
// frames of other origins do not.
#include <gtest/gtest.h>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths.h"
#include "tests/support/download_server.h"
#include "tests/support/page_fixture.h"

using testutil::PageFixture;

namespace {

const char* kPngBase64 =
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==";

const std::string kFileFeature =
    "<feature name=\"File\"><param name=\"osx-package\" value=\"WHFile\"/><param name=\"onload\" value=\"true\"/></feature>";

// fetchTo(url, tag) reports {status, type, cache, body} or {error}; imageTo(url, tag) reports
// {loaded, width}. `send` is how a result leaves the frame.
std::string probeScript(const std::string& send) {
    return "<script>function send(tag,v){" + send + "}"
           "function fetchTo(url,tag){fetch(url).then(function(r){return r.text().then(function(t){"
           "send(tag,{status:r.status,type:r.headers.get('Content-Type'),cache:r.headers.get('Cache-Control'),body:t});});"
           "}).catch(function(e){send(tag,{error:String(e)});});}"
           "function imageTo(url,tag){var i=new Image();i.onload=function(){send(tag,{loaded:true,width:i.naturalWidth});};"
           "i.onerror=function(){send(tag,{loaded:false});};i.src=url;}</script>";
}

void writePersistentFiles() {
    std::string dir = platform::dataHome() + "/com.kivano.Tarragon/files";
    // Each test of the program starts from these files alone.
    std::filesystem::remove_all(dir);
    platform::makeDirs(dir);
    auto png = platform::base64DecodeStrict(kPngBase64);
    testutil::writeFile(dir + "/pic.png", std::string(png->begin(), png->end()));
    testutil::writeFile(dir + "/data.json", "{\"a\":1}");
    testutil::writeFile(dir + "/empty.txt", "");
    // Beside the folder: a file a planted link leads to.
    testutil::writeFile(platform::dataHome() + "/com.kivano.Tarragon/outside.txt", "outside");
    ASSERT_EQ(::symlink("../outside.txt", (dir + "/planted.txt").c_str()), 0) << std::strerror(errno);
    ASSERT_EQ(::symlink("data.json", (dir + "/alias.json").c_str()), 0) << std::strerror(errno);
    ASSERT_EQ(::mkfifo((dir + "/pipe.json").c_str(), 0600), 0) << std::strerror(errno);
}

std::string indexPage(const std::string& body) {
    return "<!DOCTYPE html><html><head>" + PageFixture::libraryTag() + PageFixture::reportHelper() +
           probeScript("report(tag,v);") + "</head><body>" + body + "</body></html>";
}

}  // namespace

TEST(FilesWebView, ApplicationPageReadsFilesThroughTheScheme) {
    ASSERT_NO_FATAL_FAILURE(writePersistentFiles());
    PageFixture page({{"index.html", indexPage(R"(<script>
      document.addEventListener('deviceready', function(){
        fetchTo('whfile://localhost/persistent/data.json', 'json');
        fetchTo('whfile://localhost/persistent/empty.txt', 'empty');
        fetchTo('whfile://localhost/persistent/missing.json', 'missing');
        fetchTo('whfile://localhost/nosuchfs/data.json', 'nofs');
        fetchTo('whfile://localhost/persistent/planted.txt', 'planted');
        fetchTo('whfile://localhost/persistent/alias.json', 'alias');
        fetchTo('whfile://localhost/persistent/pipe.json', 'fifo');
        fetchTo('whfile://localhost/root/dev/zero', 'device');
        imageTo('whfile://localhost/persistent/pic.png', 'image');
        report('ready');
      });
    </script>)")}},
                     kFileFeature);
    ASSERT_TRUE(page.load());

    struct Case {
        std::string tag;
        int status;
        Value type;
        std::string body;
    };
    const std::vector<Case> cases{
        {"json", 200, "application/json", "{\"a\":1}"},
        {"empty", 200, "text/plain", ""},
        {"missing", 404, nullptr, ""},
        {"nofs", 404, nullptr, ""},
        {"planted", 404, nullptr, ""},  // the link leads out of the filesystem
        {"alias", 200, "application/json", "{\"a\":1}"},
        {"fifo", 404, nullptr, ""},
        {"device", 404, nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tag);
        auto r = page.waitForReport(c.tag);
        ASSERT_FALSE(r.is_null());
        const Value& v = r[1];
        ASSERT_FALSE(v.contains("error")) << v.dump();
        EXPECT_EQ(v["status"], c.status);
        EXPECT_EQ(v["type"], c.type);
        EXPECT_EQ(v["cache"], "no-cache");
        EXPECT_EQ(v["body"], c.body);
    }
    auto image = page.waitForReport("image");
    ASSERT_FALSE(image.is_null());
    EXPECT_EQ(image[1]["loaded"], true);
    EXPECT_EQ(image[1]["width"], 1);
}

TEST(FilesWebView, FramesOfOtherOriginsCannotReadFiles) {
    ASSERT_NO_FATAL_FAILURE(writePersistentFiles());
    testutil::DownloadServer server;
    server.route("/remote.html",
                 {200,
                  "<!DOCTYPE html><html><head>" + probeScript("parent.postMessage(JSON.stringify([tag,v]),'*');") +
                      "</head><body><script>fetchTo('whfile://localhost/persistent/data.json','remote-fetch');"
                      "imageTo('whfile://localhost/persistent/pic.png','remote-image');</script></body></html>",
                  "text/html"});
    std::string remote = server.url("/remote.html");

    PageFixture page({{"index.html", indexPage(R"(
        <script>window.addEventListener('message', function(e){ var m = JSON.parse(e.data); report(m[0], m[1]); });
        document.addEventListener('deviceready', function(){ report('ready'); });</script>
        <iframe src=")" + remote + R"("></iframe>)")}},
                     kFileFeature);
    ASSERT_TRUE(page.load());
    auto fetched = page.waitForReport("remote-fetch");
    ASSERT_FALSE(fetched.is_null());
    EXPECT_TRUE(fetched[1].contains("error")) << fetched[1].dump();
    auto image = page.waitForReport("remote-image");
    ASSERT_FALSE(image.is_null());
    EXPECT_EQ(image[1]["loaded"], false);
}
