#include "analysis/ReceivedAddresses.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

Texts scanOne(const std::string& value) {
    return scanReceivedAddresses({value});
}

}  // namespace

TEST(ReceivedAddressScan, TakesTheRelayButNotTheReceiver) {
    EXPECT_EQ(scanOne("from mail.example.org (mail.example.org [203.0.113.9]) by mx.example.net "
                      "([198.51.100.4]) with ESMTP id 1234.5678.9012.3456;"),
              (Texts{"203.0.113.9"}));
    EXPECT_EQ(scanOne("from a (10.1.2.3) BY b (10.9.9.9) "), (Texts{"10.1.2.3"}));
    EXPECT_EQ(scanOne("from a [10.1.2.3]\tby b [10.9.9.9] "), (Texts{"10.1.2.3", "10.9.9.9"}));
    EXPECT_EQ(scanOne("from a (10.1.2.3)by b (10.9.9.9) "), (Texts{"10.1.2.3", "10.9.9.9"}));
    EXPECT_EQ(scanOne(" by b [10.9.9.9] "), Texts{});
}

TEST(ReceivedAddressScan, AnyNonDigitNonPointEndsAnAddress) {
    EXPECT_EQ(scanOne("from host (192.0.2.44)"), (Texts{"192.0.2.44"}));
    EXPECT_EQ(scanOne("from host [192.0.2.44]"), (Texts{"192.0.2.44"}));
    EXPECT_EQ(scanOne("from 192.0.2.44 x"), (Texts{"192.0.2.44"}));
    EXPECT_EQ(scanOne("from x192.0.2.44:25"), (Texts{"192.0.2.44"}));
    EXPECT_EQ(scanOne("from 1.2.3.4\xFF"), (Texts{"1.2.3.4"}));
    EXPECT_EQ(scanOne(std::string("from 1.2.3.4\0", 13)), (Texts{"1.2.3.4"}));
}

TEST(ReceivedAddressScan, DottedQuadAtTheVeryEndIsNotTaken) {
    EXPECT_EQ(scanOne("from host 192.0.2.44"), Texts{});
    EXPECT_EQ(scanOne("from host 192.0.2.44 by mx"), Texts{});
    EXPECT_EQ(scanReceivedAddresses({"from 1.2.3", "4) x"}), Texts{});
}

TEST(ReceivedAddressScan, AFourthGroupFollowedByAPointKeepsThePoint) {
    EXPECT_EQ(scanOne("from 10.1.2.3. x"), (Texts{"10.1.2.3."}));
    EXPECT_EQ(scanOne("from 10.1.2.3."), (Texts{"10.1.2.3."}));
    EXPECT_EQ(scanOne("from 1.2.3.4.5.6.7.8.9)"), (Texts{"1.2.3.4.", "5.6.7.8."}));
}

TEST(ReceivedAddressScan, LongDigitRunsAndDoublePointsBreakGroups) {
    EXPECT_EQ(scanOne("from [1234.5.6.7]"), Texts{});
    EXPECT_EQ(scanOne("from [1.2.3.4567]"), Texts{});
    EXPECT_EQ(scanOne("from [1.2345.6.7]"), Texts{});
    EXPECT_EQ(scanOne("from [1..2.3.4]"), Texts{});
    EXPECT_EQ(scanOne("from [1.2.3..4.5.6.7]"), (Texts{"4.5.6.7"}));
    EXPECT_EQ(scanOne("from 12345.1.2.3.4 "), (Texts{"1.2.3.4"}));
    EXPECT_EQ(scanOne("from 1.2.3-4.5.6.7 "), (Texts{"4.5.6.7"}));
}

TEST(ReceivedAddressScan, HostNamesWithoutADottedQuadYieldNothing) {
    EXPECT_EQ(scanOne("from 192-0-2-7.dsl.example.net (192-0-2-7.dsl.example.net)"), Texts{});
    EXPECT_EQ(scanOne("from mail1.example2.org (HELO 123) (2001:db8::1)"), Texts{});
    EXPECT_EQ(scanOne("from 1.2.3 x"), Texts{});
}

TEST(ReceivedAddressScan, GroupsAreNotRangeChecked) {
    EXPECT_EQ(scanOne("from [999.888.777.666]"), (Texts{"999.888.777.666"}));
    EXPECT_EQ(scanOne("from [000.0.00.1]"), (Texts{"000.0.00.1"}));
}

TEST(ReceivedAddressScan, KeepsHeaderOrderAndRepeats) {
    const Texts received = {"from a ([10.0.0.1]) (10.0.0.2) by x (10.0.0.3)", "",
                            "from b (10.0.0.1) by y", "from c"};
    EXPECT_EQ(scanReceivedAddresses(received), (Texts{"10.0.0.1", "10.0.0.2", "10.0.0.1"}));
    EXPECT_EQ(scanReceivedAddresses({}), Texts{});
}

TEST(ReceivedAddressScan, HugeRunsOfPointsAndDigitsScanLikeShortOnes) {
    std::string points(1 << 20, '.');
    EXPECT_EQ(scanOne(points + "1.2.3.4]"), (Texts{"1.2.3.4"}));
    EXPECT_EQ(scanOne("7" + points + "1.2.3.4]"), (Texts{"1.2.3.4"}));
    EXPECT_EQ(scanOne("1." + std::string(1 << 20, '5') + ".2.3.4]"), Texts{});
    EXPECT_EQ(scanOne("9.8." + std::string(1 << 20, '5') + " 1.2.3.4]"), (Texts{"1.2.3.4"}));

    std::string quads;
    for (int i = 0; i < 100000; ++i) {
        quads += "123.45.6.78.";
    }
    const Texts found = scanOne(quads);
    ASSERT_EQ(found.size(), 100000u);
    for (const std::string& address : found) {
        ASSERT_EQ(address, "123.45.6.78.");
    }
    EXPECT_EQ(scanOne("from 255.255.255.255. x"), (Texts{"255.255.255.255."}));
}
