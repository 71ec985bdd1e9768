// The binding file of the boards on the USB bus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/usb_bus.h"
#include "support/test_env.h"

namespace {

using plat::UsbBoardId;

UsbBoardId Id(uint16_t vendor, uint16_t product, int cls = -1, int sub = -1, int proto = -1) {
  UsbBoardId id;
  id.vendor = vendor;
  id.product = product;
  id.interfaceClass = cls;
  id.interfaceSubClass = sub;
  id.interfaceProtocol = proto;
  return id;
}

TEST(UsbBindingFile, SectionsAreReadInOrderUpToTheFirstIncompleteOne) {
  struct Case {
    const char* name;
    const char* text;
    std::vector<UsbBoardId> ids;
  } cases[] = {
      {"TwoBoards", "[Board1]\nVendorId=1d6b\nProductId=0x0104\n[Board2]\nVendorId=0X0BDA\nProductId=FFFF\n",
       {Id(0x1d6b, 0x0104), Id(0x0bda, 0xffff)}},
      {"InterfaceFields",
       "[board1]\r\nvendorid = 1d6b \r\nProductId=104\r\nInterfaceClass=ff\r\nInterfaceSubClass=0x06\r\n"
       "InterfaceProtocol=50\r\n",
       {Id(0x1d6b, 0x104, 0xff, 0x06, 0x50)}},
      {"CommentedKeysDoNotCount", "[Board1]\n;VendorId=1d6b\nProductId=1\n", {}},
      {"GapEndsTheList", "[Board1]\nVendorId=1\nProductId=2\n[Board3]\nVendorId=3\nProductId=4\n", {Id(1, 2)}},
      {"NotHexadecimalEndsTheList",
       "[Board1]\nVendorId=1\nProductId=2\n[Board2]\nVendorId=12g4\nProductId=4\n[Board3]\nVendorId=5\nProductId=6\n",
       {Id(1, 2)}},
      {"IdTooLargeEndsTheList", "[Board1]\nVendorId=10000\nProductId=2\n", {}},
      {"ClassOutOfRangeMeansAny", "[Board1]\nVendorId=1\nProductId=2\nInterfaceClass=100\n", {Id(1, 2)}},
      {"NoSection", "; no boards yet\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testenv::ScratchDir dir;
    const std::string file = (dir / "usb_boards.ini").string();
    testenv::WriteFile(file, c.text);
    EXPECT_EQ(plat::ReadUsbBindingFile(file), c.ids);
  }
  EXPECT_TRUE(plat::ReadUsbBindingFile("/nonexistent/usb_boards.ini").empty());
  EXPECT_TRUE(plat::ReadUsbBindingFile("").empty());
}

TEST(UsbBindingFile, NothingIsOpenedWithoutABinding) {
  testenv::ScratchDir dir;
  const std::string file = (dir / "usb_boards.ini").string();
  plat::BindUsbClass("{A}", file);  // the file does not exist
  EXPECT_TRUE(plat::ListUsbBoards("{a}").empty());
  EXPECT_EQ(plat::OpenUsbBoard("usb:1-1"), -1);
  plat::UsbBusWatch watch;
  EXPECT_FALSE(watch.Start("{A}"));
  EXPECT_EQ(watch.fd(), -1);
  plat::BindUsbClass("", "");
}

}  // namespace
