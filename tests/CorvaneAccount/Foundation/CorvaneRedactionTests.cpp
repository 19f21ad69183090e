#include "CorvaneAccount/Foundation/CorvaneRedaction.h"

#include <gtest/gtest.h>

using namespace corvane;

TEST(CorvaneRedaction, EndpointIsCutAtTheFirstQueryOrFragment) {
    EXPECT_EQ(CorvaneRedaction::endpoint("/api/app-sessions/exchange"),
              "/api/app-sessions/exchange");
    EXPECT_EQ(CorvaneRedaction::endpoint("/api/x?code=secret&state=s"), "/api/x");
    EXPECT_EQ(CorvaneRedaction::endpoint("/api/x#token=secret"), "/api/x");
    EXPECT_EQ(CorvaneRedaction::endpoint("/api/x#frag?q=1"), "/api/x");
    EXPECT_EQ(CorvaneRedaction::endpoint("/api/x?q=1#frag"), "/api/x");
    EXPECT_EQ(CorvaneRedaction::endpoint("?only=query"), "");
    EXPECT_EQ(CorvaneRedaction::endpoint(""), "");
}

TEST(CorvaneRedaction, DecodeFailureMetadata) {
    EXPECT_EQ(CorvaneRedaction::decodeFailure("/api/x?y=1", "CasResponse"),
              (CorvaneRedaction::Metadata{
                  {"endpoint", "/api/x"}, {"class", "decode"}, {"field", "CasResponse"}}));
    EXPECT_EQ(CorvaneRedaction::decodeFailure("/api/x", std::nullopt),
              (CorvaneRedaction::Metadata{{"endpoint", "/api/x"}, {"class", "decode"}}));
}

namespace {
// Shaped like the host's transport error.
struct FakeTransportError {
    std::string domain() const { return "NSURLErrorDomain"; }
    long code() const { return -1001; }
    std::optional<int> urlErrorCode() const { return -1001; }
};
} // namespace

TEST(CorvaneRedaction, TransportFailureMetadataAddsTheURLErrorOnlyForURLLoading) {
    EXPECT_EQ(CorvaneRedaction::transportFailure("/api/x?y=1",
                                                 TransportErrorInfo::of(FakeTransportError{})),
              (CorvaneRedaction::Metadata{{"endpoint", "/api/x"},
                                          {"class", "transport"},
                                          {"error_domain", "NSURLErrorDomain"},
                                          {"error_code", "-1001"},
                                          {"url_error", "-1001"}}));
    EXPECT_EQ(CorvaneRedaction::transportFailure("/api/y", {"NSPOSIXErrorDomain", 54, {}}),
              (CorvaneRedaction::Metadata{{"endpoint", "/api/y"},
                                          {"class", "transport"},
                                          {"error_domain", "NSPOSIXErrorDomain"},
                                          {"error_code", "54"}}));
}
