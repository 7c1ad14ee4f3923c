// The request as it crosses from the application to the root helper: every path byte for byte,
// the totals at full width, and malformed data answered with the decoder's error.
#include "common/HelperBus.h"
#include "common/HelperRequest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

using namespace quillo::common;

namespace {

HelperRequest sampleRequest() {
    HelperRequest r;
    r.unlockItems = {"/home/u/.local/share/Trash/files/locked", "/media/usb/.Trash-1000/files/a b"};
    r.permissionsItems = {std::string("/home/u/.local/share/Trash/files/bad\xff\xfe name"),
                          "/home/u/.local/share/Trash/files/x<y&z>\"'", "/t/.Trash-1/files/]]>",
                          "/t/.Trash-1/files/tab\there", "/t/.Trash-1/files/line\nfeed",
                          "/t/.Trash-1/files/carriage\rreturn", "/t/.Trash-1/files/ctl\x01",
                          "/t/.Trash-1/files/caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                          std::string("/t/.Trash-1/files/nul\0inside", 27), "/t/.Trash-1/files/ spaces "};
    r.notTrashedBecauseFolderNotEmpty = {"/home/u/.local/share/Trash/files/folder"};
    r.erasedSize = std::numeric_limits<uint64_t>::max();
    r.erasedCount = 1234567890123ull;
    return r;
}

std::optional<HelperRequest> decode(const std::string& bytes, HelperError& error) {
    return decodeHelperRequest(bytes, &error);
}

}  // namespace

TEST(CommonHelperRequest, RoundTripKeepsEveryPathByteAndTotal) {
    const HelperRequest sent = sampleRequest();
    std::optional<std::string> xml = encodeHelperRequest(sent);
    ASSERT_TRUE(xml);
    EXPECT_NE(xml->find("<?xml version=\"1.0\""), std::string::npos);
    EXPECT_NE(xml->find("<key>notTrashedBecauseFolderNotEmpty</key>"), std::string::npos);
    HelperError error;
    std::optional<HelperRequest> received = decode(*xml, error);
    ASSERT_TRUE(received) << error.message;
    EXPECT_FALSE(error);
    EXPECT_EQ(*received, sent);
}

TEST(CommonHelperRequest, EmptyListsAreLeftOutAndTotalsAlwaysWritten) {
    HelperRequest sent;
    sent.erasedCount = 3;
    std::optional<std::string> xml = encodeHelperRequest(sent);
    ASSERT_TRUE(xml);
    EXPECT_EQ(xml->find("unlockItems"), std::string::npos);
    EXPECT_EQ(xml->find("permissionsItems"), std::string::npos);
    EXPECT_EQ(xml->find("notTrashedBecauseFolderNotEmpty"), std::string::npos);
    EXPECT_NE(xml->find("<key>erasedSize</key>"), std::string::npos);
    EXPECT_NE(xml->find("<key>erasedCount</key>"), std::string::npos);
    HelperError error;
    std::optional<HelperRequest> received = decode(*xml, error);
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, sent);
}

TEST(CommonHelperRequest, MissingTotalsReadAsZeroAndUnknownKeysAreIgnored) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>permissionsItems</key><array><string>/a/.Trash-0/files/x</string></array>"
        "<key>somethingElse</key><true/></dict></plist>";
    HelperError error;
    std::optional<HelperRequest> r = decode(xml, error);
    ASSERT_TRUE(r) << error.message;
    EXPECT_EQ(r->permissionsItems, std::vector<std::string>{"/a/.Trash-0/files/x"});
    EXPECT_EQ(r->erasedSize, 0u);
    EXPECT_EQ(r->erasedCount, 0u);
}

TEST(CommonHelperRequest, MalformedDataIsTheDecodersErrorNeverACrash) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
    const std::vector<std::string> bad = {
        "",
        "not a property list at all",
        head + "<dict><key>unlockItems</key><array><string>/x",  // cut off
        head + "<array><string>/x</string></array></plist>",      // root not a dictionary
        head + "<dict><key>unlockItems</key><string>/x</string></dict></plist>",
        head + "<dict><key>permissionsItems</key><array><integer>5</integer></array></dict></plist>",
        head + "<dict><key>notTrashedBecauseFolderNotEmpty</key><array><array/></array></dict></plist>",
        head + "<dict><key>erasedSize</key><string>12</string></dict></plist>",
        head + "<dict><key>erasedCount</key><real>1.5</real></dict></plist>",
        std::string("bplist00\xd0\x08\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00"
                    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x09", 42),
        std::string("<?xml\0\0\0", 8),
    };
    for (const std::string& bytes : bad) {
        HelperError error;
        EXPECT_FALSE(decode(bytes, error)) << bytes;
        EXPECT_EQ(error.domain, HelperError::Domain::PropertyList) << bytes;
        EXPECT_EQ(error.code, kPropertyListReadCorruptError);
        EXPECT_FALSE(error.message.empty());
        EXPECT_STREQ(error.busErrorName(), kPropertyListErrorName);
    }
}

TEST(CommonHelperRequest, ANulByteInsideAStringIsKeptNotFatal) {
    // libplist's string getter asserts on this input; the decoder must not reach it.
    const std::string xml = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                        "<key>unlockItems</key><array><string>/a/.Trash-0/files/x") +
                            std::string("\0\0y", 3) + "</string></array></dict></plist>";
    HelperError error;
    std::optional<HelperRequest> r = decode(xml, error);
    if (r) {
        ASSERT_EQ(r->unlockItems.size(), 1u);
        EXPECT_NE(r->unlockItems[0].find('\0'), std::string::npos);
    } else {
        EXPECT_EQ(error.domain, HelperError::Domain::PropertyList);
    }
}

TEST(CommonHelperRequest, OversizedDataIsRefusedBeforeParsing) {
    std::string huge(kMaxHelperRequestBytes + 1, ' ');
    HelperError error;
    EXPECT_FALSE(decode(huge, error));
    EXPECT_NE(error.message.find("too large"), std::string::npos);
}

TEST(CommonHelperRequest, DeepNestingIsRefusedBeforeParsing) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>x</key>";
    auto nested = [&](size_t levels, const std::string& between = "") {
        std::string xml = head;
        for (size_t i = 0; i < levels; ++i) xml += "<array>" + between;
        for (size_t i = 0; i < levels; ++i) xml += "</array>";
        return xml + "</dict></plist>";
    };
    // A million levels (about 15 MB): the parser and its recursive free would overflow the stack.
    for (const std::string& bytes :
         {nested(1000000), nested(kMaxHelperRequestNesting),
          // End tags inside comments and CDATA do not hide the depth around them.
          nested(200000, "<!-- </array></array> --><key>k</key><string><![CDATA[</array></array>]]></string>")}) {
        HelperError error;
        EXPECT_FALSE(decode(bytes, error));
        EXPECT_EQ(error.domain, HelperError::Domain::PropertyList);
        EXPECT_EQ(error.code, kPropertyListReadCorruptError);
        EXPECT_NE(error.message.find("nested too deeply"), std::string::npos) << error.message;
    }
    // What the reader would read otherwise is refused, not guessed at.
    for (const std::string& bytes :
         {head + "<!DOCTYPE x [ <!ENTITY a \"]>\"> ]><array></array></dict></plist>",
          head + "<!ELEMENT x ANY><array/></dict></plist>", head + "<!-- never closed <array>"}) {
        HelperError error;
        EXPECT_FALSE(decode(bytes, error)) << bytes;
        EXPECT_EQ(error.domain, HelperError::Domain::PropertyList);
    }
    // Every real request is far shallower; comments, CDATA and empty elements are still read.
    const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                            "<plist version=\"1.0\"><!-- c --><dict><key>other</key><dict><key>a</key><array>"
                            "<array><true/></array></array></dict>"
                            "<key>unlockItems</key><array><string><![CDATA[/t/.Trash-1/files/<a>]]></string></array>"
                            "</dict></plist>";
    HelperError error;
    std::optional<HelperRequest> r = decode(xml, error);
    ASSERT_TRUE(r) << error.message;
    EXPECT_EQ(r->unlockItems, std::vector<std::string>{"/t/.Trash-1/files/<a>"});
    std::optional<std::string> sample = encodeHelperRequest(sampleRequest());
    ASSERT_TRUE(sample);
    EXPECT_TRUE(decode(*sample, error)) << error.message;
}

TEST(CommonHelperBus, OSStatusMessagesCarryTheCodeBothWays) {
    const HelperError denied = HelperError::osStatus(kErrAuthorizationDenied, "not authorized");
    EXPECT_STREQ(denied.busErrorName(), kOSStatusErrorName);
    EXPECT_EQ(denied.busErrorMessage(), "-60005: not authorized");

    for (int code : {kOSStatusParamErr, kErrAuthorizationDenied, kErrAuthorizationCanceled}) {
        const HelperError sent = HelperError::osStatus(code, "text: with colon");
        std::optional<HelperError> back = HelperError::fromBusError(sent.busErrorName(), sent.busErrorMessage());
        ASSERT_TRUE(back);
        EXPECT_EQ(back->domain, HelperError::Domain::OSStatus);
        EXPECT_EQ(back->code, code);
        EXPECT_EQ(back->message, "text: with colon");
    }
    std::optional<HelperError> plist = HelperError::fromBusError(kPropertyListErrorName, "bad data");
    ASSERT_TRUE(plist);
    EXPECT_EQ(plist->domain, HelperError::Domain::PropertyList);
    EXPECT_EQ(plist->message, "bad data");

    // Transport errors are not ours; an OSStatus without a readable number is still an error.
    EXPECT_FALSE(HelperError::fromBusError("org.freedesktop.DBus.Error.ServiceUnknown", "gone"));
    std::optional<HelperError> garbled = HelperError::fromBusError(kOSStatusErrorName, "garbled");
    ASSERT_TRUE(garbled);
    EXPECT_EQ(garbled->code, kOSStatusParamErr);
    EXPECT_FALSE(osStatusFromMessage("12x: y"));
    EXPECT_FALSE(osStatusFromMessage(": y"));
}
