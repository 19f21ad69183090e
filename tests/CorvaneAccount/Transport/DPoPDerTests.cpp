// DER ECDSA-Sig-Value to the JOSE r || s form, including input that lies about its lengths.
#include "CorvaneAccount/Transport/DPoPSigner.h"
#include "tests/CorvaneAccount/Transport/DPoPTestSupport.h"

#include <gtest/gtest.h>

using corvane::DPoPSigner;
using corvane::testing::dpopReason;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes filled(std::size_t count, std::uint8_t value) {
    return Bytes(count, value);
}

Bytes integer(const Bytes& value) {
    Bytes out{0x02};
    if (value.size() < 0x80) {
        out.push_back(static_cast<std::uint8_t>(value.size()));
    } else {
        out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(value.size()));
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes sequence(const Bytes& r, const Bytes& s) {
    Bytes body = integer(r);
    const auto sPart = integer(s);
    body.insert(body.end(), sPart.begin(), sPart.end());
    Bytes out{0x30};
    if (body.size() < 0x80) {
        out.push_back(static_cast<std::uint8_t>(body.size()));
    } else {
        out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(body.size()));
    }
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

std::string reasonFor(const Bytes& der, std::size_t componentLength = 32) {
    return dpopReason([&] { DPoPSigner::derToJoseECDSA(der, componentLength); });
}

} // namespace

TEST(DPoPDer, PlainSignatureBecomesRThenS) {
    const auto r = filled(32, 0x11);
    const auto s = filled(32, 0x22);
    EXPECT_EQ(DPoPSigner::derToJoseECDSA(sequence(r, s), 32), concat(r, s));
}

TEST(DPoPDer, LeadingZeroOfAPositiveIntegerIsDropped) {
    // r's top bit is set, so DER gives it a 0x00 prefix: 33 value bytes.
    auto r = filled(32, 0xAB);
    const auto s = filled(32, 0x7F);
    const auto joined = DPoPSigner::derToJoseECDSA(sequence(concat({0x00}, r), s), 32);
    ASSERT_EQ(joined.size(), 64u);
    EXPECT_EQ(joined, concat(r, s));
}

TEST(DPoPDer, ShortIntegersAreLeftPaddedToTheComponentLength) {
    const auto r = filled(31, 0x5A);
    const auto s = Bytes{0x01};
    const auto joined = DPoPSigner::derToJoseECDSA(sequence(r, s), 32);
    EXPECT_EQ(joined, concat(concat({0x00}, r), concat(filled(31, 0x00), s)));
}

TEST(DPoPDer, LongFormLengthsAreFollowed) {
    // 66-byte components (P-521 size) make the sequence longer than 127 bytes.
    const auto r = filled(66, 0x01);
    const auto s = concat({0x00}, filled(66, 0x80));
    const auto der = sequence(r, s);
    ASSERT_EQ(der[1], 0x81);
    EXPECT_EQ(DPoPSigner::derToJoseECDSA(der, 66), concat(r, filled(66, 0x80)));
}

TEST(DPoPDer, WrongTagsAreRefused) {
    const auto good = sequence(filled(32, 1), filled(32, 2));
    auto set = good;
    set[0] = 0x31;
    EXPECT_EQ(reasonFor(set), "der_not_sequence");
    EXPECT_EQ(reasonFor({0x30, 0x00}), "der_not_sequence") << "fewer than 3 bytes";
    EXPECT_EQ(reasonFor({}), "der_not_sequence");

    auto bitString = good;
    bitString[2] = 0x03;
    EXPECT_EQ(reasonFor(bitString), "der_not_integer");
    auto badS = good;
    badS[2 + 2 + 32] = 0x04;
    EXPECT_EQ(reasonFor(badS), "der_not_integer");
}

TEST(DPoPDer, LengthsRunningPastTheEndAreRefused) {
    const auto good = sequence(filled(32, 1), filled(32, 2));

    // The sequence claims more than there is.
    auto longSequence = good;
    longSequence[1] = 0x7F;
    EXPECT_EQ(reasonFor(longSequence), "der_truncated");
    EXPECT_EQ(reasonFor({0x30, 0x84, 0xFF}), "der_truncated") << "length bytes missing";
    EXPECT_EQ(reasonFor({0x30, 0x82, 0x01, 0x00}), "der_truncated");

    // s is cut off in its value, in its length, and missing entirely.
    for (std::size_t cut = 1; cut < good.size(); ++cut) {
        Bytes prefix(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
        if (prefix.size() < 3)
            continue;
        prefix[1] = static_cast<std::uint8_t>(prefix.size() - 2);
        EXPECT_EQ(reasonFor(prefix), "der_truncated") << "cut at " << cut;
    }

    // r declares more value bytes than remain.
    Bytes liar{0x30, 0x06, 0x02, 0x7F, 0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(reasonFor(liar), "der_truncated");
    // A long-form integer length whose value would overflow a size_t.
    Bytes huge{0x30, 0x0C, 0x02, 0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02};
    EXPECT_EQ(reasonFor(huge), "der_truncated");
}

TEST(DPoPDer, IntegersLongerThanTheComponentAreRefused) {
    // 33 value bytes without a leading zero cannot be a P-256 component.
    EXPECT_EQ(reasonFor(sequence(filled(33, 0x01), filled(32, 0x02))), "der_integer_too_long");
    EXPECT_EQ(reasonFor(sequence(filled(32, 0x01), filled(40, 0x02))), "der_integer_too_long");
    // Extra leading zeros are still only zeros: they are stripped.
    const auto r = filled(32, 0x99);
    EXPECT_EQ(DPoPSigner::derToJoseECDSA(sequence(concat({0x00, 0x00, 0x00}, r), r), 32),
              concat(r, r));
}

TEST(DPoPDer, IndefiniteSequenceLengthReadsTheIntegersThatFollow) {
    // 0x80 as the sequence length has no length bytes: the integers start at offset 2.
    auto der = sequence(filled(32, 3), filled(32, 4));
    der[1] = 0x80;
    EXPECT_EQ(DPoPSigner::derToJoseECDSA(der, 32), concat(filled(32, 3), filled(32, 4)));
}
