#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "ihex/image.h"
#include "ihex/reader.h"
#include "log/log.h"
#include "ops/operations.h"
#include "ops/run_record.h"
#include "protocol/node_commands.h"
#include "sim/nodes.h"
#include "support/bus_fixture.h"
#include "support/hex_files.h"

namespace {
constexpr uint32_t kWake = 0x5001005;
constexpr uint32_t kWakeAnswer = 0x5041005;
constexpr uint32_t kAlive = 0x6E01005;
constexpr uint32_t kCommand = 0x7001005;
constexpr uint32_t kAnswer = 0x7041005;
constexpr uint32_t kData = 0x7081005;
constexpr uint32_t kFirstPage = 0x20000;
constexpr uint32_t kPage = 900;
const std::string kEnd = ":00000001FF\n";
const std::string kCompleted =
    "End of download\nFlashing completed\n\nReboot W2 to start up with new software\n";

std::string ends_with(const std::string& text, size_t n) {
  return text.size() > n ? text.substr(text.size() - n) : text;
}

bool drop_erase_answer(const SimDevice*, uint64_t*, uint32_t*, uint8_t* data) {
  return data[0] != 0x0D;
}
bool refuse_erase(const SimDevice*, uint64_t*, uint32_t*, uint8_t* data) {
  if (data[0] == 0x0D) data[0] = 0x0E;
  return true;
}
bool status_in_page_answer(const SimDevice*, uint64_t*, uint32_t*, uint8_t* data) {
  if (data[0] == 0x12) data[4] = 2;
  return true;
}
bool drop_page_answer(const SimDevice*, uint64_t*, uint32_t*, uint8_t* data) {
  return data[0] != 0x12;
}

class SensorFlashTest : public BusTest {
 protected:
  explicit SensorFlashTest(int32_t level = 4) : BusTest(level) {}
  void SetUp() override {
    BusTest::SetUp();
    ihex_reset();
    node_ = 5;
    force_ = false;
    sim_nodes_config = SimNodesConfig{};
  }
  void TearDown() override {
    sim_nodes_config = SimNodesConfig{};
    BusTest::TearDown();
  }
  // Without force the sensors run their application already; with force the operator switches
  // them on 300 ms after the tool started listening.
  void attach_nodes(bool force) {
    force_ = force;
    if (force) {
      sim_nodes_config.power_on_us = 300000;
    } else {
      sim_nodes_config.running_before = true;
    }
    ASSERT_EQ(sim_bus_attach(sim_nodes_device()), 0);
  }
  int32_t flash(const std::string& path) { return flash_sensor(sensor_job(path, node_, force_)); }

 public:
  uint8_t node_ = 5;
  bool force_ = false;

 protected:

  // Checks the traffic of a download of `pages` pages built from `image` (indices 0 to image
  // end), the answers the tool got, and the node's flash afterwards.
  void expect_download(const std::vector<uint8_t>& image, int pages, bool force,
                       const std::string& where) {
    const auto all = tool_frames();
    for (const auto& frame : all) {
      EXPECT_TRUE(frame.id == kWake || frame.id == kCommand || frame.id == kData)
          << where << std::hex << frame.id;
    }
    const auto wakes = tool_frames(kWake);
    EXPECT_EQ(wakes.size(), force ? 0u : 1u) << where;
    for (const auto& wake : wakes) EXPECT_EQ(wake.data, bytes({})) << where;

    const auto commands = tool_frames(kCommand);
    ASSERT_EQ(commands.size(), 3u + 2u * static_cast<size_t>(pages)) << where;
    EXPECT_EQ(commands[0].data, bytes({0x0A})) << where;
    EXPECT_EQ(commands[1].data, bytes({0x0C})) << where;
    EXPECT_EQ(commands.back().data, bytes({0x0E})) << where;
    const auto data = tool_frames(kData);
    ASSERT_EQ(data.size(), 150u * static_cast<size_t>(pages)) << where;
    std::vector<uint8_t> sent;  // the bytes the pages carried, from index 0x20000 on
    for (int page = 0; page < pages; ++page) {
      const uint32_t address = kFirstPage + kPage * static_cast<uint32_t>(page);
      EXPECT_EQ(commands[2 + 2 * static_cast<size_t>(page)].data,
                bytes({0x10, 0, int(address & 0xFF), int(address >> 8 & 0xFF),
                       int(address >> 16 & 0xFF), int(address >> 24)}))
          << where << " page " << page;
      const auto page_bytes = page_slice(image, address, kPage);
      const uint32_t sum = sum_of(page_bytes);
      if (!expect_page_frames(data, 150u * static_cast<size_t>(page), page_bytes, kNodePageShape,
                              where + " page " + std::to_string(page))) {
        return;
      }
      sent.insert(sent.end(), page_bytes.begin(), page_bytes.end());
      const Bytes8& close = commands[3 + 2 * static_cast<size_t>(page)].data;
      EXPECT_EQ(close, bytes({0x11, 0, int(sum & 0xFF), int(sum >> 8 & 0xFF),
                              int(sum >> 16 & 0xFF), int(sum >> 24)}))
          << where << " page " << page;
    }

    // The node was found on its wake answer or its announcement; its answers came on 0x7041005.
    std::vector<uint32_t> answers;
    for (const auto& frame : bus_frames()) {
      if (frame.from_tool) continue;
      if (frame.id == kWakeAnswer || frame.id == kAlive || frame.id == kAnswer) {
        answers.push_back(frame.id);
      }
    }
    ASSERT_EQ(answers.size(), 3u + static_cast<size_t>(pages)) << where;
    EXPECT_EQ(answers[0], force ? kAlive : kWakeAnswer) << where;
    for (size_t i = 1; i < answers.size(); ++i) EXPECT_EQ(answers[i], kAnswer) << where;

    const SimNodeStats stats = sim_node_stats(5);
    EXPECT_EQ(stats.erases, 1u) << where;
    EXPECT_EQ(stats.pages_written, static_cast<uint32_t>(pages)) << where;
    EXPECT_EQ(stats.pages_refused, 0u) << where;
    EXPECT_EQ(stats.end_of_download, 1u) << where;
    const uint8_t* flash = sim_node_flash(5);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), flash + kFirstPage)) << where;
    EXPECT_EQ(flash[kFirstPage + sent.size()], 0xFF) << where;  // erased, never written
    EXPECT_EQ(flash[kFirstPage - 1], SIM_NODE_OLD_FLASH) << where;
  }
};
}  // namespace

namespace {
struct EndToEndRow {
  const char* what;
  std::vector<uint8_t> (*make)();  // writes node.hex, returns the image
  int pages;
  std::string report;    // from "Checksum" to the block count
  std::string progress;  // every progress line
  std::string last_dump; // start of the last block's first row
};
const std::string kSegment2000 = hex_line(2, 0, {0x20, 0x00});
const EndToEndRow kEndToEndRows[] = {
    {"one byte at 0x20000",
     [] {
       write_file("node.hex", kSegment2000 + hex_line(0, 0, {0xAB}) + kEnd);
       std::vector<uint8_t> image(0x20001, 0);
       image[0x20000] = 0xAB;
       return image;
     },
     1, "Checksum 0  (131072)\nBlock count 513\n", "100.0%\n", "\n20000: AB 00 00 "},
    {"01 02 03 at 0x20000",
     [] {
       write_file("node.hex", kSegment2000 + hex_line(0, 0, {1, 2, 3}) + kEnd);
       std::vector<uint8_t> image(0x20003, 0);
       image[0x20000] = 1, image[0x20001] = 2, image[0x20002] = 3;
       return image;
     },
     1, "Checksum 3  (131074)\nBlock count 513\n", "100.0%\n", "\n20000: 01 02 03 00 "},
    {"image end 0x20383",
     [] {
       const auto content = random_bytes(900, 1);
       objcopy_hex(content, kFirstPage, "node.hex");
       std::vector<uint8_t> image(kFirstPage, 0);
       image.insert(image.end(), content.begin(), content.end());
       return image;
     },
     1, "", "99.3%\n", "\n20300: "},
    {"image end 0x20384",
     [] {
       const auto content = random_bytes(901, 2);
       objcopy_hex(content, kFirstPage, "node.hex");
       std::vector<uint8_t> image(kFirstPage, 0);
       image.insert(image.end(), content.begin(), content.end());
       return image;
     },
     2, "", "99.3%\n100.0%\n", "\n20300: "},
};
using EndToEndTest = RowTest<SensorFlashTest, std::tuple<EndToEndRow, bool>>;
}  // namespace

TEST_P(EndToEndTest, OnEmulatedNode5) {
  const EndToEndRow& row = std::get<0>(GetParam());
  const bool force = std::get<1>(GetParam());
  const std::string where = std::string(row.what) + (force ? ", force" : "");
  const std::vector<uint8_t> image = row.make();
  attach_nodes(force);
  ASSERT_EQ(flash("node.hex"), 0) << where;
  expect_download(image, row.pages, force, where);

  const int32_t end = static_cast<int32_t>(image.size()) - 1;
  char head[160];
  std::snprintf(head, sizeof head, "IHex init ok\nEnd of file record, hiaddr 0x%x\n"
                "Using emulated CAN bus\nErase flash\n", static_cast<unsigned>(end));
  const std::string& out = console();
  EXPECT_EQ(out.rfind(kSeparator + "Starting application software flashing from HEX file: "
                      "'node.hex'\n" + head, 0), 0u) << where << "\n" << out;
  uint32_t sum = 0;
  for (int32_t i = 0; i < end; ++i) sum += image[static_cast<size_t>(i)];
  char report[96];
  std::snprintf(report, sizeof report, "Checksum %u  (%d)\nBlock count %d\n0000: ", sum, end,
                end / 256 + 1);
  EXPECT_NE(out.find(report), std::string::npos) << where << "\n" << out;
  if (!row.report.empty()) {
    EXPECT_NE(out.find(row.report), std::string::npos) << where;
  }
  EXPECT_NE(out.find(row.last_dump), std::string::npos) << where;
  EXPECT_EQ(ends_with(out, kSeparator.size() + row.progress.size() + kCompleted.size()),
            kSeparator + row.progress + kCompleted) << where;

  // The 500 ms pause lies between the node's last answer and the end of the download.
  const auto frames = bus_frames();
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames.back().data, bytes({0x0E})) << where;
  const SeenFrame& last_answer = frames[frames.size() - 2];
  EXPECT_EQ(last_answer.id, kAnswer) << where;
  EXPECT_GE(frames.back().done_us - last_answer.done_us, 500000u) << where;
  EXPECT_LT(frames.back().done_us - last_answer.done_us, 510000u) << where;

  // The log was closed before the completion lines.
  const std::string log = log_text();
  EXPECT_EQ(ends_with(log, 19), "DL_END_OF_DOWNLOAD\n") << where;
  EXPECT_NE(log.find("DL_START_LOADING\n07001005 0A 00 00 00 00 00 00 00\n"
                     "07041005 0B 00 00 00 00 00 00 00\nDL_ERASE_APP\n"),
            std::string::npos) << where;
  if (row.pages > 0) {
    EXPECT_NE(log.find("DL_DOWNLOAD\nWrite CAN frame   07081005 01 00 "), std::string::npos);
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, EndToEndTest,
                         ::testing::Combine(::testing::ValuesIn(kEndToEndRows), ::testing::Bool()));

TEST_F(SensorFlashTest, ImageEnd3FFFF) {
  const auto content = random_bytes(0x20000, 4);
  objcopy_hex(content, kFirstPage, "node.hex");
  attach_nodes(false);
  ASSERT_EQ(flash("node.hex"), 0);
  std::vector<uint8_t> image(kFirstPage, 0);
  image.insert(image.end(), content.begin(), content.end());
  expect_download(image, 146, false, "0x3FFFF");
  const std::string& out = console();
  EXPECT_NE(out.find("Block count 1024\n"), std::string::npos);
  EXPECT_NE(out.find(kSeparator + "3FF00: "), std::string::npos);
  EXPECT_NE(out.find("\n3FFF0: "), std::string::npos);
  EXPECT_NE(out.find(kSeparator + "50.0%\n50.3%\n"), std::string::npos);
  // The last page starts at 0x3FD74: 998 per mille.
  EXPECT_EQ(ends_with(out, 12 + kCompleted.size()), "99.4%\n99.8%\n" + kCompleted);
}

// The last page that the largest image calls for runs 839 bytes past the image buffer.
class SensorFlashQuietTest : public SensorFlashTest {
 protected:
  SensorFlashQuietTest() : SensorFlashTest(0) {}
};

TEST_F(SensorFlashQuietTest, LastPageOfTheLargestImageEndsInZeros) {
  std::vector<uint8_t> tail(16);
  for (size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<uint8_t>(i + 1);
  write_file("node.hex", hex_line(4, 0, {0x00, 0x3D}) + hex_line(0, 0xFFF0, tail) + kEnd);
  for (int n = 1; n <= 127; ++n) {
    if (n != 5) sim_nodes_config.absent.set(static_cast<size_t>(n));
  }
  attach_nodes(false);
  ASSERT_EQ(flash("node.hex"), 0);
  EXPECT_NE(console().find("End of file record, hiaddr 0x3dffff\n"), std::string::npos);
  EXPECT_NE(console().find("Block count 15872\n"), std::string::npos);
  const auto commands = tool_frames(kCommand);
  const size_t pages = (0x3DFFFF - kFirstPage) / kPage + 1;
  ASSERT_EQ(pages, 4370u);
  ASSERT_EQ(commands.size(), 3 + 2 * pages);
  // The last page starts at 0x3DFFC4: 60 bytes inside the image, 840 zeros after it.
  EXPECT_EQ(hex8(commands[commands.size() - 3].data), "10 00 C4 FF 3D 00 00 00");
  EXPECT_EQ(hex8(commands[commands.size() - 2].data), "11 00 88 00 00 00 00 00");
  const uint8_t* flash = sim_node_flash(5);
  EXPECT_EQ(std::memcmp(flash + 0x3DFFF0, tail.data(), tail.size()), 0);
  for (uint32_t i = 0x3E0000; i < 0x3DFFC4 + kPage; ++i) ASSERT_EQ(flash[i], 0) << std::hex << i;
  EXPECT_EQ(flash[0x3DFFC4 + kPage], 0xFF);
  EXPECT_EQ(sim_node_stats(5).pages_written, 4370u);
  EXPECT_EQ(ends_with(console(), 7 + kCompleted.size()), "100.0%\n" + kCompleted);
}

namespace {
const std::string kGood = hex_line(2, 0, {0x20, 0x00}) + hex_line(0, 0, {1, 2, 3}) + kEnd;
struct FailureRow {
  const char* what;
  void (*arrange)(SensorFlashTest*);
  SimTransmitHook hook;
  uint32_t refuse_from;
  int32_t result;
  std::string console_end;
  bool nothing_sent;
};
using FailureTest = RowTest<SensorFlashTest, FailureRow>;
// kSeparator of the support library may not be built yet while this table is.
const std::string kLine = std::string(61, '-') + "\n";
const std::string kDumped = kLine + "100.0%\n";
const FailureRow kFailureRows[] = {
    {"missing file", [](SensorFlashTest*) { std::remove("node.hex"); }, nullptr, 0, -3,
     "IHex init error 'node.hex'\n", true},
    {"no node id", [](SensorFlashTest* t) { t->node_ = NODE_ID_NOT_SET; }, nullptr, 0, -4,
     "IHex init ok\nEnd of file record, hiaddr 0x20002\nW2 Node id not set! \n", true},
    {"checksum error in the file",
     [](SensorFlashTest*) {
       write_file("node.hex", hex_line(0, 0, {1, 2}) + ":0100000001FF\n" + kEnd);
     },
     nullptr, 0, -7, "HEX file line 2: check sum error\nIHex parse error\n", true},
    // Pages go out from 0x20000 on: a byte below it would never reach the node.
    {"a block below 0x20000",
     [](SensorFlashTest*) { objcopy_hex(random_bytes(512, 3), kFirstPage - 256, "node.hex"); },
     nullptr, 0, -7,
     "HEX file holds data at 0x0001FF00 to 0x000200FF, outside the part of a W2 sensor image that "
     "is sent (0x00020000 to 0x003DFFFF)\nIHex parse error\n",
     true},
    {"everything below 0x20000",
     [](SensorFlashTest*) { write_file("node.hex", hex_line(0, 0x1000, {9, 8}) + kEnd); },
     nullptr, 0, -7,
     "HEX file holds data at 0x00001000 to 0x00001001, outside the part of a W2 sensor image that "
     "is sent (0x00020000 to 0x003DFFFF)\nIHex parse error\n",
     true},
    {"no data",
     [](SensorFlashTest*) { write_file("node.hex", kSegment2000 + kEnd); }, nullptr, 0, -7,
     "HEX file holds no data byte: nothing to flash\nIHex parse error\n", true},
    {"an application image",
     [](SensorFlashTest*) { objcopy_hex(random_bytes(16, 4), 0x70020000, "node.hex"); },
     nullptr, 0, -7, "HEX data outside the image at 0x70020000\nIHex parse error\n", true},
    {"silent node", [](SensorFlashTest*) { sim_nodes_config.absent.set(5); }, nullptr, 0, -4,
     "Using emulated CAN bus\nNo answer DL_START_LOADING\n", false},
    {"erase refused", nullptr, refuse_erase, 0, -5,
     "Erase flash\nERROR --- Invalid answer\n07041005  0E  00  00  00\nErase flash error\n",
     false},
    {"erase not answered", nullptr, drop_erase_answer, 0, -5, "Erase flash\nErase flash error\n",
     false},
    {"download not sent", nullptr, nullptr, 4, -3, kLine + "Download starting failed: -3\n",
     false},
    {"data not sent", nullptr, nullptr, 5, -3, kDumped + "Send data failed: -3\n", false},
    {"last data frame not sent", nullptr, nullptr, 154, -3, kDumped + "Send data failed: -3\n",
     false},
    {"flash command not sent", nullptr, nullptr, 155, -3, kDumped + "Writing flash failed: -3\n",
     false},
    {"page refused", nullptr, status_in_page_answer, 0, -1,
     kDumped + "ERROR --- Illegal answer data\n07041005  12 00 00 00 02 00 00 00\n"
               "Writing flash failed: -1\n",
     false},
    {"page not answered", nullptr, drop_page_answer, 0, -3,
     kDumped + "No answer DL_WRITE_TO_FLASH_COMMAND\nWriting flash failed: -3\n", false},
};
}  // namespace

TEST_P(FailureTest, EndsTheOperationWithoutEndOfDownload) {
  const FailureRow& row = GetParam();
  write_file("node.hex", kGood);
  sim_bus_set_transmit_hook(row.hook);
  if (row.arrange) row.arrange(this);
  attach_nodes(false);
  if (row.refuse_from) sim_bus_refuse_tool_sends(row.refuse_from);
  EXPECT_EQ(flash("node.hex"), row.result) << row.what;
  EXPECT_EQ(ends_with(console(), row.console_end.size()), row.console_end)
      << row.what << "\n" << console();
  if (row.nothing_sent) {
    EXPECT_TRUE(tool_frames().empty()) << row.what;
    EXPECT_EQ(console().find("Using emulated CAN bus"), std::string::npos) << row.what;
  }
  for (const auto& frame : tool_frames(kCommand)) EXPECT_NE(frame.data[0], 0x0E) << row.what;
  EXPECT_EQ(sim_node_stats(5).end_of_download, 0u) << row.what;
}
INSTANTIATE_TEST_SUITE_P(Rows, FailureTest, ::testing::ValuesIn(kFailureRows));

TEST_F(SensorFlashTest, SilentNodeGetsWakeFramesButNeverAStart) {
  // 201 wake frames and never a DL_START_LOADING.
  write_file("node.hex", kGood);
  sim_nodes_config.absent.set(5);
  attach_nodes(false);
  EXPECT_EQ(flash("node.hex"), -4);
  EXPECT_EQ(tool_frames(kWake).size(), 201u);
  EXPECT_TRUE(tool_frames(kCommand).empty());
}

// The page is taken, but said: a line for it, and a warning before the closing lines.
TEST_F(SensorFlashTest, ForceModeTakesAPageTheNodeReportsAsFailed) {
  write_file("node.hex", hex_line(2, 0, {0x20, 0x00}) + hex_line(0, 0, {1, 2, 3}) + kEnd);
  sim_bus_set_transmit_hook(status_in_page_answer);
  attach_nodes(true);
  EXPECT_EQ(flash("node.hex"), 0);
  const std::string page =
      "Page 0x20000 was answered with status 02 00 00 00: the node may not have written it; "
      "taken as written because of -b\n";
  const std::string warning =
      "Warning: 1 page was answered with a non-zero status: check the sensor, or flash it again "
      "without -b\n";
  const std::string tail = "100.0%\n" + page + "End of download\n" + warning +
                           kCompleted.substr(std::string("End of download\n").size());
  EXPECT_EQ(ends_with(console(), tail.size()), tail);
  const std::string log = log_text();
  EXPECT_NE(log.find(page), std::string::npos);
  EXPECT_NE(log.find(warning), std::string::npos);
  // Nothing was sent before the node announced itself.
  const auto frames = bus_frames();
  uint64_t announced = 0;
  for (const auto& frame : frames) {
    if (frame.id == kAlive) announced = frame.done_us;
  }
  ASSERT_NE(announced, 0u);
  EXPECT_GT(tool_frames().front().done_us, announced);
  EXPECT_TRUE(tool_frames(kWake).empty());
}

// A node that refuses its second page (as after a lost frame): -b takes it and names it, the
// record keeps it, and the node's flash shows what the warning warns of.
TEST_F(SensorFlashTest, ForceModeNamesTheRefusedPageAndKeepsItInTheRecord) {
  write_file("node.hex", hex_line(4, 0, {0x00, 0x02}) + hex_line(0, 0, random_bytes(16, 1)) +
                             hex_line(0, 0x0384, random_bytes(16, 2)) +
                             hex_line(0, 0x0708, random_bytes(16, 3)) + kEnd);
  sim_nodes_config.refuse_page = 2;
  run_record_reset();
  attach_nodes(true);
  EXPECT_EQ(flash("node.hex"), 0);
  EXPECT_NE(console().find("Page 0x20384 was answered with status 01 00 00 00: the node may not "
                           "have written it; taken as written because of -b\n"),
            std::string::npos)
      << console();
  EXPECT_NE(console().find("Warning: 1 page was answered"), std::string::npos);
  const std::vector<RunPageStatus>& forced = run_record().forced_pages;
  ASSERT_EQ(forced.size(), 1u);
  EXPECT_EQ(forced[0].address, 0x20384u);
  EXPECT_EQ(forced[0].status, 1u);
  EXPECT_EQ(sim_node_stats(5).pages_refused, 1u);
  EXPECT_EQ(sim_node_flash(5)[0x20384], 0xFF);  // erased, never written
}

// The executable on the emulated bus, in real time: the sensors are switched on a second after
// the bus opened.
TEST(SensorFlashExecutableTest, FlashesNode5WithAndWithoutForce) {
  for (const char* force : {"", " -b"}) {
    ScratchDir dir;
    write_bytes("content.bin", random_bytes(2000, 5));
    ASSERT_EQ(run_command("objcopy -I binary -O ihex --change-addresses 0x20000 content.bin "
                          "node.hex", nullptr), 0);
    std::string out;
    const auto start = std::chrono::steady_clock::now();
    const int status =
        run_command(std::string(RALVEX_TOOL_PATH) + " -i sim -f node.hex -g 5" + force + " 4", &out);
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(status, 0) << force << out;
    // Power-on after 1 s, the erase 0.5 s, the pause 0.5 s.
    EXPECT_GE(seconds, 2.0) << force;
    EXPECT_NE(out.find("Setting W2 id 5 \n"), std::string::npos) << out;
    EXPECT_NE(out.find("IHex init ok\nEnd of file record, hiaddr 0x207cf\nUsing emulated CAN bus\n"
                       "Erase flash\nChecksum "),
              std::string::npos) << out;
    EXPECT_NE(out.find("98.5%\n99.2%\n99.9%\n" + kCompleted), std::string::npos) << out;
    const std::string log = read_file("ZR4_BL_Log.txt");
    const std::string start_line = "DL_START_LOADING\n07001005 0A 00 00 00 00 00 00 00\n"
                                   "07041005 0B 00 00 00 00 00 00 00\nDL_ERASE_APP\n";
    const size_t started = log.find(start_line);
    ASSERT_NE(started, std::string::npos) << log.substr(0, 2000);
    // Without force the tool woke the node every 60 ms until it came up; with force it listened.
    const std::string before = log.substr(0, started);
    size_t wakes = 0;
    for (size_t at = before.find("DL_START_LOADING\n"); at != std::string::npos;
         at = before.find("DL_START_LOADING\n", at + 1)) {
      ++wakes;
    }
    if (*force) {
      EXPECT_EQ(wakes, 0u);
    } else {
      EXPECT_GE(wakes, 2u);
      EXPECT_LE(wakes, 18u);
    }
    EXPECT_NE(log.find("Write CAN frame   07081005 96 00 "), std::string::npos);
    EXPECT_EQ(ends_with(log, 19), "DL_END_OF_DOWNLOAD\n");
  }
}

TEST(SensorFlashExecutableTest, ForceWithoutNodeIdExitsWith252) {
  ScratchDir dir;
  write_file("node.hex", ":020000022000DC\n:0100000001FE\n:00000001FF\n");
  std::string out;
  EXPECT_EQ(run_command(std::string(RALVEX_TOOL_PATH) + " -i sim -f node.hex -b", &out), 252);
  EXPECT_NE(out.find("Turn sensor power on\n"), std::string::npos) << out;
  EXPECT_NE(out.find("IHex init ok\nEnd of file record, hiaddr 0x20000\nW2 Node id not set! \n"),
            std::string::npos) << out;
  EXPECT_EQ(out.find("Using emulated CAN bus"), std::string::npos);
}
