#include <gtest/gtest.h>
#include "vcard/seal_card.h"
TEST(Placeholder, Builds) { EXPECT_TRUE(vcard::SealCard::CreateDefault()->Present()); }
