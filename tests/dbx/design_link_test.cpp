#include "dbx/design_link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "dbx/library_loader.h"
#include "tests/fakedbx/fake_dbx.h"

namespace bitlay::dbx {
namespace {

bool libraryMapped(const std::string& fileName) {
    std::ifstream maps("/proc/self/maps");
    std::stringstream text;
    text << maps.rdbuf();
    return text.str().find("/" + fileName) != std::string::npos;
}

std::string buildFolder(const std::string& relative) {
    return std::filesystem::canonical(std::filesystem::path(BITLAY_BIN_DIR) / ".." / relative)
        .string();
}

// The folder the library of that name was mapped from (links and dots resolved).
std::string mappedFolder(const std::string& fileName) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const auto at = line.find('/');
        if (at == std::string::npos) continue;
        const std::string path = line.substr(at);
        if (path.size() > fileName.size() && path.compare(path.size() - fileName.size() - 1,
                                                          std::string::npos, "/" + fileName) == 0) {
            return path.substr(0, path.size() - fileName.size() - 1);
        }
    }
    return {};
}

class DesignLink : public ::testing::Test {
  protected:
    void SetUp() override {
        fakedbx::reset();
        resetLinkForTesting();
    }
    void TearDown() override { resetLinkForTesting(); }
};

TEST_F(DesignLink, OpenPassesItsArgumentsAndFillsTheContext) {
    DesignContext context{};
    EXPECT_EQ(TOpenDesign(0, 16000, u"", context), 0);
    ASSERT_EQ(fakedbx::calls().size(), 1u);
    const fakedbx::Call& call = fakedbx::calls()[0];
    EXPECT_EQ(call.function, "TOpenDesign");
    EXPECT_EQ(call.first, 0);
    EXPECT_EQ(call.second, 16000);
    EXPECT_FALSE(call.textIsNull) << "the empty text is the address of a NUL byte";
    EXPECT_EQ(call.text, "");
    EXPECT_EQ(0, std::memcmp(&context, fakedbx::openedContext().data(), sizeof context));
}

TEST_F(DesignLink, EveryCallStoresItsStatus) {
    fakedbx::script().openStatus = 32104;
    fakedbx::script().placeStatus = 32232;
    fakedbx::script().closeStatus = 32002;
    DesignContext context{};
    EXPECT_EQ(TOpenDesign(0, 16000, u"", context), 32104);
    EXPECT_EQ(link::DbxStatus, 32104);
    LayerRecord record;
    EXPECT_EQ(TGetLayerById(context, 1, record), 32161);
    EXPECT_EQ(link::DbxStatus, 32161);
    LineRecord line{};
    EXPECT_EQ(TPlaceLine(context, line), 32232);
    EXPECT_EQ(link::DbxStatus, 32232);
    EXPECT_EQ(TCloseDesign(context, u""), 32002);
    EXPECT_EQ(link::DbxStatus, 32002);
}

TEST_F(DesignLink, TextsGoOverAsLatin1) {
    DesignContext context{};
    TCloseDesign(context, u"Caf\u00e9 \u20ac");
    ASSERT_EQ(fakedbx::calls().size(), 1u);
    EXPECT_EQ(fakedbx::calls()[0].text, "Caf\xe9 ?");
}

TEST_F(DesignLink, LayerRecordCrossesInItsEightBitFormAndComesBack) {
    LayerRecord8 scripted = fakedbx::layerNamed("Cuivre \xe9tam\xe9");
    scripted.reserved0 = 0x01020304;
    for (int i = 0; i < 11; ++i) scripted.reserved[i] = 1000 + i;
    fakedbx::script().layers[7] = scripted;

    DesignContext context{};
    LayerRecord record;
    record.reserved0 = -5;
    record.layerName[0] = u'\u0101';  // outside Latin-1: arrives as '?'
    record.layerName[1] = u'\u00ff';
    record.reserved[10] = 77;
    ASSERT_EQ(TGetLayerById(context, 7, record), 0);

    const fakedbx::Call& call = fakedbx::calls().at(0);
    EXPECT_EQ(call.layerId, 7);
    LayerRecord8 arrived{};
    std::memcpy(&arrived, call.layerRecord.data(), sizeof arrived);
    EXPECT_EQ(arrived.reserved0, -5);
    EXPECT_EQ(arrived.layerName[0], '?');
    EXPECT_EQ(static_cast<unsigned char>(arrived.layerName[1]), 0xFF);
    EXPECT_EQ(arrived.layerName[2], '\0');
    EXPECT_EQ(arrived.reserved[10], 77);

    EXPECT_EQ(record.reserved0, 0x01020304);
    EXPECT_EQ(std::u16string(record.layerName), u"Cuivre \u00e9tam\u00e9");
    for (int i = 0; i < 11; ++i) EXPECT_EQ(record.reserved[i], 1000 + i);
}

TEST_F(DesignLink, LineRecordIsPassedByReferenceUnchanged) {
    DesignContext context{};
    LineRecord line{};
    line.width = 2540;
    line.startX = -1;
    line.endY = INT32_MAX;
    line.layerId = 3;
    TPlaceLine(context, line);
    const LineRecord& placed = fakedbx::calls().at(0).line;
    EXPECT_EQ(0, std::memcmp(&placed, &line, sizeof line));
}

TEST_F(DesignLink, LibraryIsLoadedAtTheFirstCallFromBesideTheExecutable) {
    // The partial library lies beside the test executable and in the private folder, on no
    // search path: the copy beside wins.
    resetLinkForTesting("libdbx32partial.so");
    EXPECT_FALSE(libraryMapped("libdbx32partial.so"));
    DesignContext context{};
    EXPECT_EQ(TOpenDesign(0, 16000, u"", context), 0);
    EXPECT_EQ(mappedFolder("libdbx32partial.so"), buildFolder("fakedbx"));
    EXPECT_TRUE(fakedbx::calls().empty()) << "the partial library keeps its own log";
}

TEST_F(DesignLink, LibraryNotBesideTheExecutableIsLoadedFromThePrivateFolder) {
    // As installed: bin/bitlay, lib/bitlay/libdbx32.so.
    resetLinkForTesting("libdbx32private.so");
    DesignContext context{};
    EXPECT_EQ(TOpenDesign(0, 16000, u"", context), 0);
    EXPECT_EQ(mappedFolder("libdbx32private.so"), buildFolder("lib/bitlay"));
    EXPECT_TRUE(fakedbx::calls().empty()) << "the private copy keeps its own log";
}

TEST_F(DesignLink, MissingLibraryIsALinkErrorNamingItAndTheReason) {
    resetLinkForTesting("libdbx32-absent.so");
    DesignContext context{};
    try {
        TOpenDesign(0, 16000, u"", context);
        FAIL() << "no error";
    } catch (const LinkError& error) {
        const std::string text = error.what();
        EXPECT_NE(text.find("libdbx32-absent.so could not be loaded"), std::string::npos) << text;
        EXPECT_NE(text.find("No such file"), std::string::npos) << text;
    }
    // Nothing is remembered from the failure: the next attempt tries again.
    EXPECT_THROW(TOpenDesign(0, 16000, u"", context), LinkError);
}

TEST_F(DesignLink, MissingFunctionIsALinkErrorOnlyWhenItIsCalled) {
    resetLinkForTesting("libdbx32partial.so");
    DesignContext context{};
    EXPECT_EQ(TOpenDesign(0, 16000, u"", context), 0);
    LineRecord line{};
    link::DbxStatus = 12345;
    try {
        TPlaceLine(context, line);
        FAIL() << "no error";
    } catch (const LinkError& error) {
        const std::string text = error.what();
        EXPECT_NE(text.find("has no function TPlaceLine"), std::string::npos) << text;
        EXPECT_NE(text.find("libdbx32partial.so"), std::string::npos) << text;
    }
    EXPECT_EQ(link::DbxStatus, 12345) << "a call that never happened stores nothing";
    EXPECT_EQ(TCloseDesign(context, u""), 0);
}

}  // namespace
}  // namespace bitlay::dbx
