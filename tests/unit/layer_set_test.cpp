// Layer-set files: "Export" writes the current entry's stack to a ".QXD" file
// the user chooses, "Import" puts a file's layers on top of the current
// entry's stack. Covers the file requester's texts, the file format as
// written and as read (token by token), the version test, damaged counts and
// short files, and every way the commands do nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "alloc_failure.h"
#include "common/instance_checks.h"
#include "panel_session.h"
#include "persist.h"

using panel_session::Names;
using panel_session::Tags;
using panel_session::TagText;

namespace {

const char kWord[] = "Quintessalux_LayerSet_Ver.1.9";
// Three layer lines as export writes them, the first of each kind.
const char kLineA[] = "0 1 10 20 30 50.000000 3 7 1 10 25.500000 0";
const char kLineB[] = "1 0 255 0 128 100.000000 0 0 0 0 100.000000 0";
const char kLineC[] = "0 1 40 255 255 12.125000 9 11 0 12 100.000000 1";

// The twelve numbers of a layer, for comparing layers with what a file says.
std::vector<double> Fields(const Layer *l) {
  return {double(l->type),     double(l->active),      double(l->color[0]), double(l->color[1]),
          double(l->color[2]), l->intensity,           double(l->mode),     double(l->inBuffer),
          double(l->invert),   double(l->alphaBuffer), l->alphaIntensity,   double(l->alphaInvert)};
}
const std::vector<double> kFieldsA = {0, 1, 10, 20, 30, 50.0, 3, 7, 1, 10, 25.5, 0};
const std::vector<double> kFieldsB = {1, 0, 255, 0, 128, 100.0, 0, 0, 0, 0, 100.0, 0};
const std::vector<double> kFieldsC = {0, 1, 40, 255, 255, 12.125, 9, 11, 0, 12, 100.0, 1};
const std::vector<double> kDefaults = {0, 1, 255, 255, 255, 100.0, 0, 0, 0, 0, 100.0, 0};

void SetFields(Layer *l, const std::vector<double> &f) {
  l->type = int32_t(f[0]);
  l->active = int8_t(f[1]);
  for (int c = 0; c < 3; ++c) l->color[c] = uint8_t(f[2 + c]);
  l->intensity = f[5];
  l->mode = int32_t(f[6]);
  l->inBuffer = int32_t(f[7]);
  l->invert = int8_t(f[8]);
  l->alphaBuffer = int32_t(f[9]);
  l->alphaIntensity = f[10];
  l->alphaInvert = int8_t(f[11]);
}

} // namespace

class LayerSetFiles : public PanelSession {
protected:
  std::string path;

  void SetUp() override {
    PanelSession::SetUp();
    // Tests run in parallel processes: the test's own name and the process
    // make the file name unique.
    path = ::testing::TempDir() + "qx_layerset_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
           std::to_string(::getpid()) + ".QXD";
    std::remove(path.c_str());
    services.request.fullName = path;
  }
  void TearDown() override {
    std::remove(path.c_str());
    PanelSession::TearDown();
  }

  void Write(const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
  }
  std::string Read() {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  bool Exists() {
    std::ifstream in(path);
    return in.good();
  }

  // The entry's layers as their twelve numbers, top first.
  std::vector<std::vector<double>> Stack(int row) {
    std::vector<std::vector<double>> out;
    for (const Layer *l = Entry(row).head; l != nullptr; l = l->next) out.push_back(Fields(l));
    return out;
  }
};

// ---------------------------------------------------------------------------
// Export and import

TEST_F(LayerSetFiles, ExportWritesTheHeaderWordTheCountAndOneLinePerLayerTopFirst) {
  std::vector<Layer *> l = Give(0, {0, 0, 0}, 1);
  SetFields(l[0], kFieldsA);
  SetFields(l[1], kFieldsB);
  SetFields(l[2], kFieldsC);
  WhileOpen([&] {
    PickEntry(0);
    PickLayer(2); // the whole stack is written, whichever layer is current
    Fire(CTL_EXPORT);
  });
  EXPECT_EQ(Read(),
            std::string(kWord) + "\n-3 3\n" + kLineA + "\n" + kLineB + "\n" + kLineC + "\n");
  ASSERT_EQ(services.requestCalls.size(), 1u);
  EXPECT_EQ(services.requestCalls[0].title, "Export LayerSet");
  EXPECT_EQ(services.requestCalls[0].baseName, ">*.QXD");
  EXPECT_EQ(services.requestCalls[0].bufferLength, 260);
  EXPECT_TRUE(services.messages.empty());
}

TEST_F(LayerSetFiles, ExportThenImportIntoTwoLayersGivesTheFileLayersOnTopThenTheOldOnes) {
  std::vector<Layer *> l = Give(0, {0, 0, 0}, 1);
  SetFields(l[0], kFieldsA);
  SetFields(l[1], kFieldsB);
  SetFields(l[2], kFieldsC);
  std::vector<Layer *> old = Give(1, {200, 201}, 1);
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_EXPORT);
    PickEntry(1);
    PickLayer(1);
    const auto before = Snapshot();
    Fire(CTL_IMPORT);
    ASSERT_EQ(GetLayerNum(&Entry(1)), 5);
    const auto stack = Stack(1);
    EXPECT_EQ(stack[0], kFieldsA) << "position 0 is not the file's first layer";
    EXPECT_EQ(stack[1], kFieldsB);
    EXPECT_EQ(stack[2], kFieldsC);
    EXPECT_EQ(GetLayer(&Entry(1), 3), old[0]) << "the old layers do not follow in their order";
    EXPECT_EQ(GetLayer(&Entry(1), 4), old[1]);
    EXPECT_EQ(GetLayer(&Entry(1), 4)->prev->prev->prev->prev, Entry(1).head)
        << "the back links are broken";
    // The selected row stays and now holds the file's second layer.
    EXPECT_EQ(inst->layerCount, 5);
    EXPECT_EQ(inst->curLayerNo, 1);
    EXPECT_EQ(inst->curLayer, GetLayer(&Entry(1), 1));
    EXPECT_EQ(IntShown(CTL_LAYER_TYPE), 1) << "the controls do not show the new current layer";
    EXPECT_EQ(Names(Live()),
              Names({CTL_ACTIVE, CTL_ADD_LAYER, CTL_DEL_LAYER, CTL_EXPORT, CTL_IMPORT, CTL_ALL_ON,
                     CTL_ALL_OFF, CTL_ALL_INVERT, CTL_COPY, CTL_UP, CTL_DOWN, CTL_ENABLED,
                     CTL_LAYER_TYPE, CTL_COLOR, CTL_SWATCH, CTL_INTENSITY, CTL_MODE}));
    EXPECT_EQ(RedrawnSince(before), "the result ball");
  });
  ASSERT_EQ(services.requestCalls.size(), 2u);
  EXPECT_EQ(services.requestCalls[1].title, "Import LayerSet");
  EXPECT_EQ(services.requestCalls[1].baseName, "<*.QXD");
  EXPECT_TRUE(services.messages.empty());
}

TEST_F(LayerSetFiles, TheHeaderWordIsNotExaminedAndALongOneDoesNotOverrunItsBuffer) {
  Give(0, {200}, 1);
  const std::vector<std::string> words = {"Anything_else", std::string(300, 'x')};
  WhileOpen([&] {
    PickEntry(0);
    for (const std::string &word : words) {
      Write(word + "\n-3 1\n" + kLineC + "\n");
      Fire(CTL_IMPORT);
    }
  });
  EXPECT_TRUE(services.messages.empty()) << services.messages[0];
  ASSERT_EQ(GetLayerNum(&Entry(0)), 3);
  EXPECT_EQ(Stack(0)[0], kFieldsC) << "after a header word of 300 characters";
  EXPECT_EQ(Stack(0)[1], kFieldsC) << "after a header word that is not the usual one";
  EXPECT_EQ(Entry(0).head->next->next->color[0], 200);
}

TEST_F(LayerSetFiles, LayerNumbersOnOneLineOrWithCarriageReturnsReadTheSame) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"one number line", std::string(kWord) + "\n-3 2\n" + kLineA + " " + kLineB + "\n"},
      {"CRLF line ends", std::string(kWord) + "\r\n-3 2\r\n" + kLineA + "\r\n" + kLineB + "\r\n"},
      {"tabs and blank lines", std::string(kWord) + "\n\n-3\t2\n\n" + kLineA + "\n\t" + kLineB},
  };
  WhileOpen([&] {
    PickEntry(0);
    FireInt(CTL_ACTIVE, 1);
    for (const auto &file : files) {
      DelAllLayer(&Entry(0));
      Write(file.second);
      Fire(CTL_IMPORT);
      const auto stack = Stack(0);
      ASSERT_EQ(stack.size(), 2u) << file.first;
      EXPECT_EQ(stack[0], kFieldsA) << file.first;
      EXPECT_EQ(stack[1], kFieldsB) << file.first;
    }
  });
  EXPECT_TRUE(services.messages.empty());
}

TEST_F(LayerSetFiles, EightBitFieldsKeepTheLowBitsOfTheirNumbers) {
  Give(0, {200}, 1);
  Write(std::string(kWord) + "\n-3 1\n1 257 300 -1 511 5.5 2 3 -255 4 6.5 256\n");
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_IMPORT);
  });
  EXPECT_EQ(Stack(0)[0], (std::vector<double>{1, 1, 44, 255, 255, 5.5, 2, 3, 1, 4, 6.5, 0}));
}

// ---------------------------------------------------------------------------
// Damaged files

TEST_F(LayerSetFiles, AnotherVersionTagIsRefusedAndTheStackStaysAsItWas) {
  Give(0, {200, 201}, 1);
  WhileOpen([&] {
    PickEntry(0);
    for (const std::string &second : {std::string("-2 1"), std::string("3"), std::string("")}) {
      Write(std::string(kWord) + "\n" + second + "\n" + kLineA + "\n");
      services.messages.clear();
      const auto before = Snapshot();
      Fire(CTL_IMPORT);
      EXPECT_EQ(services.messages, std::vector<std::string>{"File version error!"})
          << "second line \"" << second << "\"";
      EXPECT_EQ(TagText(Tags(Entry(0))), "[200 201]") << "second line \"" << second << "\"";
      EXPECT_EQ(inst->layerCount, 2);
      EXPECT_EQ(RedrawnSince(before), "nothing");
    }
  });
}

TEST_F(LayerSetFiles, AnAbsurdLayerCountIsRefusedBeforeAnythingIsMade) {
  Give(0, {200}, 1);
  WhileOpen([&] {
    PickEntry(0);
    for (long count : {2147483647L, long(SCENE_MAX_LAYERS) + 1}) {
      Write(std::string(kWord) + "\n-3 " + std::to_string(count) + "\n" + kLineA + "\n");
      services.messages.clear();
      Fire(CTL_IMPORT);
      EXPECT_EQ(services.messages, std::vector<std::string>{"File version error!"})
          << "count " << count;
      EXPECT_EQ(TagText(Tags(Entry(0))), "[200]") << "count " << count;
    }
  });
}

TEST_F(LayerSetFiles, LayersTheFileRunsShortOfKeepTheirDefaults) {
  Give(0, {200}, 1);
  // Three announced, one whole line and the start of a second.
  Write(std::string(kWord) + "\n-3 3\n" + kLineA + "\n1 0 7 8");
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_IMPORT);
  });
  EXPECT_TRUE(services.messages.empty());
  const auto stack = Stack(0);
  ASSERT_EQ(stack.size(), 4u);
  EXPECT_EQ(stack[0], kFieldsA);
  EXPECT_EQ(stack[1], (std::vector<double>{1, 0, 7, 8, 255, 100.0, 0, 0, 0, 0, 100.0, 0}))
      << "the numbers the file has go in; the rest are the defaults";
  EXPECT_EQ(stack[2], kDefaults);
  EXPECT_EQ(Entry(0).head->next->next->next->color[0], 200);
}

TEST_F(LayerSetFiles, AShortFileWithTheLargestCountFillsTheRestWithDefaults) {
  // An empty entry that is off, so that the preview does not apply them all:
  // the instance may hold no more than the largest count in all.
  Write(std::string(kWord) + "\n-3 " + std::to_string(SCENE_MAX_LAYERS) + "\n" + kLineA + "\n");
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_IMPORT);
  });
  EXPECT_TRUE(services.messages.empty());
  EXPECT_EQ(GetLayerNum(&Entry(0)), SCENE_MAX_LAYERS);
  EXPECT_EQ(Fields(Entry(0).head), kFieldsA);
  EXPECT_EQ(Fields(Entry(0).head->next), kDefaults);
  EXPECT_EQ(Fields(GetLayer(&Entry(0), -1)), kDefaults);
}

TEST_F(LayerSetFiles, NoLayersOrANegativeCountAddNothingButTheStateIsStillRefreshed) {
  Give(0, {200}, 1);
  WhileOpen([&] {
    PickEntry(0);
    for (const char *count : {"0", "-4"}) {
      Write(std::string(kWord) + "\n-3 " + count + "\n");
      const size_t from = host.drawLog.size();
      const auto before = Snapshot();
      Fire(CTL_IMPORT);
      EXPECT_EQ(TagText(Tags(Entry(0))), "[200]") << "count " << count;
      EXPECT_FALSE(DrawsSince(from).empty()) << "count " << count << ": nothing was refreshed";
      EXPECT_EQ(RedrawnSince(before), "the result ball") << "count " << count;
    }
  });
  EXPECT_TRUE(services.messages.empty());
}

TEST_F(LayerSetFiles, WithoutMemoryForTheLayersImportLeavesTheStackAsItWas) {
  Give(0, {200, 201}, 1);
  Write(std::string(kWord) + "\n-3 3\n" + kLineA + "\n" + kLineB + "\n" + kLineC + "\n");
  WhileOpen([&] {
    PickEntry(0);
    for (long failAt : {1L, 2L, 3L}) {
      {
        AllocationWatch watch(failAt);
        Fire(CTL_IMPORT);
      }
      EXPECT_EQ(TagText(Tags(Entry(0))), "[200 201]") << "allocation " << failAt << " failed";
      EXPECT_EQ(inst->layerCount, 2);
      EXPECT_EQ(inst->curLayer, Entry(0).head);
    }
  });
}

TEST_F(LayerSetFiles, ImportIntoAnEntryThatIsOffFillsTheStackButListsNothing) {
  Give(0, {200}, 0);
  Write(std::string(kWord) + "\n-3 1\n" + kLineA + "\n");
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_IMPORT);
    EXPECT_EQ(GetLayerNum(&Entry(0)), 2);
    EXPECT_EQ(inst->layerCount, 0) << "the layers of an entry that is off are listed";
    EXPECT_EQ(inst->curLayer, nullptr);
    EXPECT_EQ(Names(Live()), Names({CTL_ACTIVE}));
  });
}

// ---------------------------------------------------------------------------
// The file requester and the ways to do nothing

TEST_F(LayerSetFiles, TheFirstRequestStartsInTheContentDirectoryAndLaterOnesWhereTheLastLeft) {
  Give(0, {200}, 1);
  services.request.leavesPath = "/chosen/dir";
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_EXPORT);
    Fire(CTL_IMPORT);
  });
  ASSERT_EQ(services.requestCalls.size(), 2u);
  EXPECT_EQ(services.requestCalls[0].path, "/scenes/content");
  EXPECT_EQ(services.requestCalls[1].path, "/chosen/dir");
  EXPECT_EQ(services.directoryCalls, std::vector<std::string>{"Content"});
  EXPECT_STREQ(Fpath, "/chosen/dir");
  EXPECT_STREQ(Fnode, path.c_str());
}

TEST_F(LayerSetFiles, AContentDirectoryTooLongForTheRequesterIsNotCopied) {
  Give(0, {200}, 1);
  const std::string fits(259, 'd'), tooLong(260, 'd');
  WhileOpen([&] {
    PickEntry(0);
    services.contentDirectory = tooLong;
    Fire(CTL_EXPORT);
    EXPECT_STREQ(Fpath, "") << "a 260-character directory was copied";
    services.contentDirectory = std::nullopt;
    Fire(CTL_EXPORT);
    EXPECT_STREQ(Fpath, "");
    services.contentDirectory = fits;
    Fire(CTL_EXPORT);
    EXPECT_EQ(std::string(Fpath), fits) << "a 259-character directory was not copied";
  });
  ASSERT_EQ(services.requestCalls.size(), 3u);
  EXPECT_EQ(services.requestCalls[0].path, "");
  EXPECT_EQ(services.requestCalls[2].path, fits);
}

TEST_F(LayerSetFiles, AMissingServiceACancelOrNoCurrentEntryDoesNothing) {
  Give(0, {200}, 1);
  Write(std::string(kWord) + "\n-3 1\n" + kLineA + "\n");
  WhileOpen([&] {
    // No entry current yet.
    Fire(CTL_EXPORT);
    Fire(CTL_IMPORT);
    EXPECT_TRUE(services.requestCalls.empty()) << "a request without a current entry";
    PickEntry(0);
    for (bool FakeServices::*offer :
         {&FakeServices::offerFileRequest, &FakeServices::offerDirectory,
          &FakeServices::offerMessages}) {
      services.*offer = false;
      Fire(CTL_EXPORT);
      Fire(CTL_IMPORT);
      services.*offer = true;
    }
    EXPECT_TRUE(services.requestCalls.empty()) << "a request with a service missing";
    EXPECT_TRUE(services.directoryCalls.empty());
    EXPECT_STREQ(Fname, "") << "the pattern was set with a service missing";

    services.request.result = 0;
    Fire(CTL_IMPORT);
    Fire(CTL_EXPORT);
    EXPECT_EQ(services.requestCalls.size(), 2u);
  });
  EXPECT_EQ(TagText(Tags(Entry(0))), "[200]");
  EXPECT_EQ(Read(), std::string(kWord) + "\n-3 1\n" + kLineA + "\n") << "the file was touched";
  EXPECT_TRUE(services.messages.empty());
}

TEST_F(LayerSetFiles, AFileThatCannotBeOpenedIsReportedAndChangesNothing) {
  Give(0, {200}, 1);
  services.request.fullName = ::testing::TempDir() + "qx_no_such_directory/set.QXD";
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_IMPORT);
    Fire(CTL_EXPORT);
  });
  EXPECT_EQ(services.messages, (std::vector<std::string>{"File open error!", "File open error!"}));
  EXPECT_EQ(TagText(Tags(Entry(0))), "[200]");
}

TEST_F(LayerSetFiles, AnExportReplacesAFileOnlyOnceWrittenWholeAndNeverLeavesACutOne) {
  const std::string temporary = path + ".tmp";
  Give(0, {200, 201}, 1);
  Write("an older layer set\n");
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_EXPORT);
    EXPECT_TRUE(services.messages.empty());
    const std::string exported = Read();
    EXPECT_EQ(exported.substr(0, sizeof kWord - 1), kWord) << "the old file was not replaced";

    // A full disk: the file may grow no larger than 64 bytes, a stack of 40
    // layers needs some 2000.
    for (int i = 0; i < 38; ++i) FireInt(CTL_ADD_LAYER, 0);
    ASSERT_EQ(GetLayerNum(&Entry(0)), 40);
    struct rlimit before;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    struct rlimit small = before;
    small.rlim_cur = 64;
    void (*signalBefore)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Fire(CTL_EXPORT);
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, signalBefore);

    EXPECT_EQ(services.messages, (std::vector<std::string>{"File write error!"}));
    EXPECT_EQ(Read(), exported) << "a failed export changed the file that was there";
    EXPECT_FALSE(std::ifstream(temporary).good()) << "the cut temporary file was left behind";
    EXPECT_EQ(GetLayerNum(&Entry(0)), 40) << "export must leave the stack alone";
  });
}

TEST_F(LayerSetFiles, ANameWithoutRoomForTheTemporarySuffixIsNotWritten) {
  Give(0, {200}, 1);
  // 256 characters: the name fits the requester's buffer, the name with
  // ".tmp" does not.
  services.request.fullName = ::testing::TempDir() + "/";
  services.request.fullName += std::string(256 - services.request.fullName.size(), 'q');
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_EXPORT);
  });
  EXPECT_EQ(services.messages, (std::vector<std::string>{"File write error!"}));
}

TEST_F(LayerSetFiles, CountsTagsAndLayerNumbersTooWideForAnIntAreRefusedRatherThanWrapped) {
  Give(0, {200}, 1);
  // Their low 32 bits would read as a count of 1, a tag of -3, an active 1.
  const std::vector<std::string> files = {
      std::string(kWord) + "\n-3 4294967297\n" + kLineA + "\n",
      std::string(kWord) + "\n4294967293 1\n" + kLineA + "\n",
      std::string(kWord) + "\n-3 2\n" + kLineA + "\n0 4294967297 1 2 3 4 5 6 7 8 9 10\n",
  };
  WhileOpen([&] {
    PickEntry(0);
    for (const std::string &file : files) {
      Write(file);
      services.messages.clear();
      Fire(CTL_IMPORT);
      EXPECT_EQ(services.messages, std::vector<std::string>{"File version error!"}) << file;
      EXPECT_EQ(TagText(Tags(Entry(0))), "[200]") << file;
      EXPECT_EQ(checks::Panel(inst), "") << file;
    }
  });
}

TEST_F(LayerSetFiles, AHeaderWordWithoutEndIsRefusedAfterABoundedRead) {
  Give(0, {200}, 1);
  services.request.fullName = "/dev/zero"; // zero bytes for ever, never a word's end
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_IMPORT);
  });
  EXPECT_EQ(services.messages, std::vector<std::string>{"File version error!"});
  EXPECT_EQ(TagText(Tags(Entry(0))), "[200]");
}

TEST_F(LayerSetFiles, NoCommandTakesTheInstancePastTheLayersALoadAccepts) {
  // Entry 1, switched off, holds all but two of the layers a scene state may
  // hold; they count all the same.
  Give(0, {200}, 1);
  for (int32_t i = 0; i < SCENE_MAX_LAYERS - 3; ++i) ASSERT_NE(AddLayer(&Entry(1), 0), nullptr);
  WhileOpen([&] {
    PickEntry(0);
    Write(std::string(kWord) + "\n-3 3\n" + kLineA + "\n" + kLineB + "\n" + kLineC + "\n");
    Fire(CTL_IMPORT);
    EXPECT_EQ(services.messages, std::vector<std::string>{"File version error!"})
        << "an import past the limit took something";
    EXPECT_EQ(TagText(Tags(Entry(0))), "[200]");

    services.messages.clear();
    Write(std::string(kWord) + "\n-3 1\n" + kLineC + "\n");
    Fire(CTL_IMPORT);
    EXPECT_TRUE(services.messages.empty()) << "an import up to the limit was refused";
    FireInt(CTL_ADD_LAYER, 0);
    EXPECT_EQ(GetLayerNum(&Entry(0)), 3) << "Add Layer below the limit added nothing";

    // At the limit: Add Layer adds nothing, and "Active" cannot give an empty
    // entry its first layer.
    FireInt(CTL_ADD_LAYER, 0);
    EXPECT_EQ(GetLayerNum(&Entry(0)), 3) << "Add Layer went past the limit";
    EXPECT_EQ(checks::Panel(inst), "");
    PickEntry(2);
    FireInt(CTL_ACTIVE, 1);
    EXPECT_EQ(Entry(2).on, 0);
    EXPECT_EQ(Entry(2).head, nullptr) << "Active went past the limit";
    EXPECT_EQ(checks::Panel(inst), "");
  });
  Entry(1).on = 1;
  EXPECT_EQ(checks::SaveLoadRoundTrip(inst), "") << "the instance at the limit does not load back";
}
