#include "cli/RequestOutcomes.h"

#include <gtest/gtest.h>

namespace {
using Outcome = TarrowindFirmware::PacketOutcome;
}

// An outcome nobody took stays behind; after the ids went once round, the request that gets
// the same id must wait for its own outcome, not find the old one.
TEST(RequestOutcomes, LeftoverOutcomeDoesNotAnswerForTheNextRoundOfIds)
{
    RequestOutcomes outcomes;
    outcomes.record(5, TarrowindFirmware::PacketOutcome_Handled);  // a poll nobody waits for
    // The next 65534 requests, each waited for as the command line does.
    Outcome taken;
    for (uint16_t id = 6; id != 5; id = uint16_t(id == 65535 ? 1 : id + 1)) {
        outcomes.record(id, TarrowindFirmware::PacketOutcome_Handled);
        ASSERT_TRUE(outcomes.take(id, &taken)) << id;
    }
    EXPECT_FALSE(outcomes.contains(5));
    outcomes.record(5, TarrowindFirmware::PacketOutcome_Expired);
    ASSERT_TRUE(outcomes.take(5, &taken));
    EXPECT_EQ(taken, TarrowindFirmware::PacketOutcome_Expired);
    EXPECT_FALSE(outcomes.take(5, &taken));
}

// Requests in flight together finish in any order, across the wrap too, and an outcome that
// arrives before anyone waits for it is kept.
TEST(RequestOutcomes, OutOfOrderFinishesAroundTheWrapAreKept)
{
    RequestOutcomes outcomes;
    const uint16_t ids[] = {65534, 2, 65535, 1, 3};
    const Outcome kinds[] = {TarrowindFirmware::PacketOutcome_Handled, TarrowindFirmware::PacketOutcome_Cancelled,
                             TarrowindFirmware::PacketOutcome_Errored, TarrowindFirmware::PacketOutcome_Expired,
                             TarrowindFirmware::PacketOutcome_Handled};
    for (int i = 0; i < 5; ++i)
        outcomes.record(ids[i], kinds[i]);
    for (int i = 4; i >= 0; --i) {
        Outcome taken;
        ASSERT_TRUE(outcomes.take(ids[i], &taken)) << ids[i];
        EXPECT_EQ(taken, kinds[i]) << ids[i];
    }
}
