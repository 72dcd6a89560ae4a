// The pages each flashing target sends for an image, by the image's extent: an application's end
// (pages of 256 bytes from index 0, one more when the end is a multiple of 256), a sensor image's
// highest index (pages of 900 bytes from index 0x20000, while their first index is not beyond it).
#include <gtest/gtest.h>

#include "ops/flashing.h"

namespace {
struct PageCountRow {
  const char* what;
  const FlashTarget* target;
  int32_t extent;
  int32_t pages;
};

const PageCountRow kPageCountRows[] = {
    {"empty application: one page of zeros", &FLASH_APPLICATION, 0, 1},
    {"four application bytes", &FLASH_APPLICATION, 4, 1},
    {"application end 255", &FLASH_APPLICATION, 255, 1},
    {"application end 256: a second page of zeros", &FLASH_APPLICATION, 256, 2},
    {"application with a second segment", &FLASH_APPLICATION, 0x10012, 257},
    {"application up to the last index that fits", &FLASH_APPLICATION, 0x3DFFFF, 15872},
    {"sensor image without data", &FLASH_SENSOR, 0, 0},
    {"sensor image below 0x20000", &FLASH_SENSOR, 0x1FFFF, 0},
    {"sensor byte at 0x20000", &FLASH_SENSOR, 0x20000, 1},
    {"sensor page filled to its end", &FLASH_SENSOR, 0x20383, 1},
    {"sensor byte on a second page", &FLASH_SENSOR, 0x20384, 2},
    {"sensor byte on a third page", &FLASH_SENSOR, 0x20708, 3},
    {"sensor image end 0x3FFFF", &FLASH_SENSOR, 0x3FFFF, 146},
    {"sensor image up to the image's last index", &FLASH_SENSOR, 0x3DFFFF, 4370},
};

class PageCountTest : public ::testing::TestWithParam<PageCountRow> {};
}  // namespace

TEST_P(PageCountTest, PagesUpToTheExtent) {
  const PageCountRow& row = GetParam();
  EXPECT_EQ(flash_page_count(*row.target, row.extent), row.pages) << row.what;
}
INSTANTIATE_TEST_SUITE_P(Rows, PageCountTest, ::testing::ValuesIn(kPageCountRows));
