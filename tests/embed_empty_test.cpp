// embed_image on a 0-byte file: the generated source compiles and says so.
#include <gtest/gtest.h>

#include "image/embedded_image.h"

TEST(EmbedImage, AnEmptyFileGivesAnEmptyImage)
{
    EXPECT_EQ(embedded_image_size, 0);
}
