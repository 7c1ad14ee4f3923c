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
    // Each restore list distinct, so that a key read into the wrong list is seen.
    r.restoreUnlockItems = {"/home/u/.local/share/Trash/files/unlock"};
    r.restoreLockItems = {std::string("/home/u/lock\xff")};
    r.restoreMoveItems = {"/t/.Trash-1/files/theirs", "/t/.Trash-1/files/theirs 2"};
    r.restoreMoveDestinations = {"/t/back/theirs", "/t/back/theirs 2"};
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
        // A key another reader would end at its NUL (and read as "restoreUnlockItems").
        head + std::string("<dict><key>restoreUnlockItems\0x</key><array><string>/x</string></array></dict></plist>", 86),
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
    auto nested = [&](size_t levels, const std::string& open = "<array>") {
        std::string xml = head;
        for (size_t i = 0; i < levels; ++i) xml += open;
        for (size_t i = 0; i < levels; ++i) xml += "</array>";
        return xml + "</dict></plist>";
    };
    // A million levels (about 15 MB), and the same behind a quoted "/>" in an attribute, which a
    // scan that took the quote's "/>" for an empty element would not count: the reader of old
    // recursed on this depth, and 10^6 levels overflowed the root helper's stack.
    for (const std::string& bytes : {nested(1000000), nested(1000000, "<array a=\"/>\">")}) {
        HelperError error;
        EXPECT_FALSE(decode(bytes, error));
        EXPECT_EQ(error.domain, HelperError::Domain::PropertyList);
        EXPECT_EQ(error.code, kPropertyListReadCorruptError);
        EXPECT_TRUE(error.message.find("nested too deeply") != std::string::npos ||
                    error.message.find("attributes are not accepted") != std::string::npos)
            << error.message;
    }
    // Fixed numbers, not the limit's constant: <plist> is level 1, <dict> 2, so six arrays put
    // the innermost at level 8, which is accepted; seven put it at level 9, refused. A real
    // request needs four levels (plist, dict, array, string).
    HelperError error;
    EXPECT_TRUE(decode(nested(6), error)) << error.message;
    EXPECT_TRUE(decode(nested(5).replace(head.size() + 5 * 7, 0, "<true/>"), error)) << error.message;
    EXPECT_FALSE(decode(nested(7), error));
    EXPECT_NE(error.message.find("nested too deeply"), std::string::npos) << error.message;
    EXPECT_FALSE(decode(nested(6).replace(head.size() + 6 * 7, 0, "<true/>"), error));
    EXPECT_NE(error.message.find("nested too deeply"), std::string::npos) << error.message;
    EXPECT_FALSE(decode(nested(8), error));
    EXPECT_NE(error.message.find("nested too deeply"), std::string::npos) << error.message;
}

// The request is read in the plain form the encoder writes; markup a request never holds, where
// a reader and a pre-scan could disagree, is refused before anything else is read.
TEST(CommonHelperRequest, MarkupNoRequestHoldsIsRefused) {
    const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    const std::string head = decl + "<plist version=\"1.0\"><dict>";
    const std::string tail = "</dict></plist>";
    const std::string path = "<key>unlockItems</key><array><string>/t/.Trash-1/files/a</string></array>";
    const std::vector<std::pair<std::string, std::string>> refused = {
        {head + "<key a=\"1\">unlockItems</key>" + tail, "attributes"},
        {head + "<key>x</key><array a=\"/>\"></array>" + tail, "attributes"},
        {head + "<key>x</key><array a='/>'/>" + tail, "attributes"},
        {head + "<key>x</key><array\n></array>" + tail, "attributes"},
        {decl + "<plist version=\"1.0\" a=\"b\"><dict></dict></plist>", "attributes"},
        {decl + "<plist version=\"2.0\"><dict></dict></plist>", "attributes"},
        {head + "<!-- </array> -->" + path + tail, "comments"},
        {head + "<key>x</key><string><![CDATA[</array>]]></string>" + tail, "CDATA"},
        {head + "<key>x</key><string>a<!-- c --></string>" + tail, "comments"},
        {head + "<?pi x?>" + path + tail, "processing instructions"},
        {decl + "<!DOCTYPE x [ <!ENTITY a \"]>\"> ]><plist><dict></dict></plist>", "document types"},
        {decl + "<!DOCTYPE plist SYSTEM \"file:///etc/passwd\"><plist><dict></dict></plist>", "document types"},
        {head + "<!ELEMENT x ANY>" + path + tail, "document types"},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist><dict></dict></plist>", "processing instructions"},
        {head + "<key>x</key><string>&ext;</string>" + tail, "unknown entity"},
        {head + "<key>x</key><string>&#0;</string>" + tail, "unknown entity"},
        {head + "<key>x</key><string>&#x41;</string>" + tail, "unknown entity"},
        {head + "<key>x</key><string>a & b</string>" + tail, ""},
        {head + "<key>x</key><unknown/>" + tail, "unknown element"},
        {head + "<key>x</key><array><string>a</array></string>" + tail, ""},
        {head + "<key>x</key></dict></plist>", "key without a value"},
        {head + "<string>x</string>" + tail, "without a key"},
        {head + tail + "<plist/>", "after the end"},
        {head + "text" + path + tail, "text outside"},
        {head + "<key>unlockItems</key><array><data>L3g=x</data></array>" + tail, "base64"},
        {head + "<key>erasedSize</key><integer>-9223372036854775809</integer>" + tail, "integer"},
        {head + "<key>erasedSize</key><integer>-0</integer>" + tail, "integer"},
        {head + "<key>erasedSize</key><integer> 1</integer>" + tail, "integer"},
        {head + "<key>erasedSize</key><integer>18446744073709551616</integer>" + tail, "integer"},
    };
    for (const auto& [bytes, why] : refused) {
        HelperError error;
        EXPECT_FALSE(decode(bytes, error)) << bytes;
        EXPECT_EQ(error.domain, HelperError::Domain::PropertyList) << bytes;
        EXPECT_NE(error.message.find(why), std::string::npos) << bytes << "\n" << error.message;
    }

    // What the encoder writes is read: the declaration, the document type, the root's version,
    // empty elements, references, base64 across lines, keys the decoder ignores.
    const std::string xml = decl +
                            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                            "<plist version=\"1.0\">\n<dict>\n\t<key>other</key><dict><key>a</key><array>"
                            "<array><true/><real>1.5</real><date>2001-01-01T00:00:00Z</date></array></array></dict>"
                            "<key>unlockItems</key><array><string>/t/.Trash-1/files/&lt;a&gt; &amp; &quot;&apos; \xe2\x82\xac"
                            "</string><string/><data>\n\t\tL3gv\n\t\t/w==\n\t\t</data></array>\n"
                            "<key>erasedCount</key><integer>3</integer></dict>\n</plist>\n";
    HelperError error;
    std::optional<HelperRequest> r = decode(xml, error);
    ASSERT_TRUE(r) << error.message;
    EXPECT_EQ(r->unlockItems,
              (std::vector<std::string>{"/t/.Trash-1/files/<a> & \"' \xe2\x82\xac", "", std::string("/x/\xff")}));
    EXPECT_EQ(r->erasedCount, 3u);
    // A repeated key: the last one counts, as in the property-list library.
    r = decode(head + path + "<key>unlockItems</key><array><string>/b</string></array>" + tail, error);
    ASSERT_TRUE(r) << error.message;
    EXPECT_EQ(r->unlockItems, std::vector<std::string>{"/b"});
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
