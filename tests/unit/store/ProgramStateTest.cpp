// The switches of the state byte against the byte in the store file.
#include <gtest/gtest.h>

#include "store/ProgramState.h"
#include "store/StoreLayout.h"
#include "support/StoreFixture.h"

using Switch = ProgramState::Switch;
using ProgramStateTest = StoreFixture;

namespace {

std::string storedByte() {
    return fileBytesAt(CDatabase::kDefaultFileName, store_layout::kStateOffset, 1);
}

}  // namespace

// Earlier stores and the other programs on the same file read these values.
TEST_F(ProgramStateTest, EachSwitchWritesItsOwnBitOfTheFile) {
    const struct {
        Switch which;
        const char* byte;
    } cases[] = {{Switch::Bayes, "\x01"}, {Switch::Spamhaus, "\x02"}, {Switch::Spamcop, "\x04"}};
    for (const auto& c : cases) {
        db().setHarrowgleamState(0);
        db().changeProgramState(StateChange().turn(c.which, true));
        EXPECT_EQ(storedByte(), std::string(c.byte, 1));
    }
}

TEST_F(ProgramStateTest, TheSwitchesAreReadFromTheirBitsAlone) {
    db().setHarrowgleamState(0x85);
    const ProgramState state = db().getHarrowgleamState();
    EXPECT_TRUE(state.bayesOn());
    EXPECT_FALSE(state.spamhausOn());
    EXPECT_TRUE(state.spamcopOn());
    EXPECT_TRUE(state.anyBlockListOn());
    EXPECT_FALSE(ProgramState(0xF9).anyBlockListOn());
}

TEST_F(ProgramStateTest, AChangeKeepsTheBitsItDoesNotName) {
    db().setHarrowgleamState(0x82);
    const ProgramState written = db().changeProgramState(
        StateChange().turn(Switch::Bayes, true).turn(Switch::Spamhaus, false));
    EXPECT_EQ(written.byte(), 0x81);
    EXPECT_EQ(storedByte(), "\x81");
}

// glimmerfen-cli state takes a switch named twice this way.
TEST_F(ProgramStateTest, ASwitchTurnedBothWaysInOneChangeEndsOff) {
    db().setHarrowgleamState(0);
    EXPECT_FALSE(db().changeProgramState(
                         StateChange().turn(Switch::Spamcop, false).turn(Switch::Spamcop, true))
                     .spamcopOn());
    db().setHarrowgleamState(4);
    EXPECT_FALSE(db().changeProgramState(
                         StateChange().turn(Switch::Spamcop, true).turn(Switch::Spamcop, false))
                     .spamcopOn());
}
