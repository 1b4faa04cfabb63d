#include <gtest/gtest.h>

#include "cue/model.h"

namespace trakmap {
namespace {

TEST(CueModel, FreshTrackHasAbsentPositions) {
    CueTrack track;
    EXPECT_EQ(track.index0, -1);
    EXPECT_EQ(track.absIndex1, -1);
    EXPECT_EQ(track.index1File, -1);
    EXPECT_EQ(track.length, 0);
    EXPECT_EQ(track.title, nullptr);
}

}  // namespace
}  // namespace trakmap
