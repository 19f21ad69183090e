#include "Platform/HttpRedirect.h"

#include <gtest/gtest.h>

#include <string>

using platform::HttpRequest;
using platform::HttpTransportError;

namespace {

// The followed address, or the URL-error code of a refused hop.
std::string hop(const std::string& from, const std::string& location, int status = 302) {
    HttpRequest r;
    r.url = from;
    try {
        return platform::redirectedRequest(r, status, location).url;
    } catch (const HttpTransportError& e) {
        return "error " + std::to_string(e.code());
    }
}

} // namespace

TEST(HttpRedirect, EachHopGoesToHttpsOrStaysOnThisMachine) {
    const std::string refused = "error -1022";
    const std::string unreadable = "error -1011";
    struct Case {
        const char* from;
        const char* location;
        std::string expected;
    };
    const Case cases[] = {
        // Resolved against the address that answered (RFC 3986 §5).
        {"https://u.example/a/feed.xml", "other.xml", "https://u.example/a/other.xml"},
        {"https://u.example/a/feed.xml", "/b/feed.xml", "https://u.example/b/feed.xml"},
        {"https://u.example/a", "//cdn.example/x", "https://cdn.example/x"},
        {"https://u.example/a", "https://cdn.example/x?v=2#top", "https://cdn.example/x?v=2"},
        {"https://u.example/a", "HTTPS://cdn.example/x", "HTTPS://cdn.example/x"},
        // Clear text only from this machine to this machine.
        {"https://u.example/a", "http://cdn.example/x", refused},
        {"https://u.example/a", "http://127.0.0.1/x", refused},
        {"http://127.0.0.1:8080/a", "/b", "http://127.0.0.1:8080/b"},
        {"http://127.0.0.1:8080/a", "http://localhost:9/b", "http://localhost:9/b"},
        {"http://LOCALHOST/a", "http://127.8.9.10/b", "http://127.8.9.10/b"},
        {"http://[::1]:1/a", "http://[::1]:2/b", "http://[::1]:2/b"},
        {"http://127.0.0.1/a", "http://10.0.0.1/b", refused},
        // A name that begins like an address is not read as that address.
        {"http://127.0.0.1/a", "http://127.0.0.1.nip.io/b", unreadable},
        {"http://127.0.0.1/a", "http://127.0.0.1x/b", unreadable},
        {"http://127.0.0.1/a", "http://127.0.0.1@evil.example/b", refused},
        {"http://127.0.0.1/a", "https://u.example/b", "https://u.example/b"},
        // Other schemes are never followed.
        {"https://u.example/a", "file:///etc/passwd", refused},
        {"https://u.example/a", "ftp://u.example/x", refused},
        {"http://127.0.0.1/a", "javascript:alert(1)", refused},
        // Locations that are not addresses.
        {"https://u.example/a", "https://exa mple.com/", unreadable},
        {"https://u.example/a", "https:///nohost", unreadable},
        {"https://u.example/a", "http://[::1", unreadable},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hop(c.from, c.location), c.expected) << c.from << " -> " << c.location;
}

TEST(HttpRedirect, TheStatusDecidesMethodAndBodyAndCredentialsStayWithTheirOrigin) {
    HttpRequest post;
    post.method = "POST";
    post.url = "https://id.example/api/refresh";
    post.body = {'{', '}'};
    post.headers = {{"Content-Type", "application/json"},
                    {"Authorization", "Bearer t"},
                    {"DPoP", "p"},
                    {"Cookie", "c"},
                    {"Accept", "*/*"}};
    post.redirects = platform::RedirectPolicy::httpsOnly;
    post.maxBodyBytes = 99;

    for (int status : {307, 308}) {
        auto same = platform::redirectedRequest(post, status, "/api/refresh2");
        EXPECT_EQ(same.method, "POST") << status;
        EXPECT_EQ(same.body, post.body) << status;
        EXPECT_EQ(same.headers, post.headers) << "same origin: every field stays";
        EXPECT_EQ(same.maxBodyBytes, 99u);
        EXPECT_EQ(same.redirects, platform::RedirectPolicy::httpsOnly);
    }
    for (int status : {301, 302, 303}) {
        auto get = platform::redirectedRequest(post, status, "/next");
        EXPECT_EQ(get.method, "GET") << status;
        EXPECT_TRUE(get.body.empty()) << status;
        EXPECT_EQ(get.headers.value("Content-Type"), std::nullopt) << status;
        EXPECT_EQ(get.headers.value("Authorization"), "Bearer t") << status;
    }
    HttpRequest head = post;
    head.method = "HEAD";
    head.body.clear();
    EXPECT_EQ(platform::redirectedRequest(head, 303, "/x").method, "HEAD");
    HttpRequest put = post;
    put.method = "PUT";
    EXPECT_EQ(platform::redirectedRequest(put, 302, "/x").method, "PUT");
    EXPECT_EQ(platform::redirectedRequest(put, 303, "/x").method, "GET");

    // Another host, or another port of the same one: no credentials go along.
    for (const char* elsewhere : {"https://cdn.example/x", "https://id.example:8443/x"}) {
        auto moved = platform::redirectedRequest(post, 307, elsewhere);
        EXPECT_EQ(moved.headers.value("Authorization"), std::nullopt) << elsewhere;
        EXPECT_EQ(moved.headers.value("DPoP"), std::nullopt) << elsewhere;
        EXPECT_EQ(moved.headers.value("Cookie"), std::nullopt) << elsewhere;
        EXPECT_EQ(moved.headers.value("Accept"), "*/*") << elsewhere;
        EXPECT_EQ(moved.body, post.body) << elsewhere;
    }
    EXPECT_EQ(platform::redirectedRequest(post, 307, "https://ID.example:443/x")
                  .headers.value("Authorization"),
              "Bearer t")
        << "the same origin spelled differently";
}

TEST(HttpRedirect, SecureOrLoopbackAddresses) {
    for (const char* ok :
         {"https://d.example/q.tar.gz", "HTTPS://d.example/q", "http://127.0.0.1:8/x",
          "http://localhost/x", "http://[::1]/x", "http://127.255.0.1/x"})
        EXPECT_TRUE(platform::isSecureOrLoopbackURL(ok)) << ok;
    for (const char* bad :
         {"http://d.example/q.tar.gz", "http://10.0.0.1/x", "http://127.0.0.1.nip.io/x",
          "http://127.0.0.1@evil.example/x", "ftp://d.example/x", "file:///tmp/x", "https://",
          "/relative", "", "http://[::2]/x"})
        EXPECT_FALSE(platform::isSecureOrLoopbackURL(bad)) << bad;
    EXPECT_TRUE(platform::isRedirectStatus(307));
    EXPECT_FALSE(platform::isRedirectStatus(304)) << "not modified sends nobody anywhere";
    EXPECT_FALSE(platform::isRedirectStatus(300));
}
