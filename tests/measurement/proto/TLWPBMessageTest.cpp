#include "measurement/proto/TLWPBMessage.h"

#include <gtest/gtest.h>
#include <pb.h>
#include <pb_common.h>

#include <atomic>
#include <random>
#include <thread>
#include <set>

#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "tests/measurement/proto/ProtoTestSupport.h"

using namespace prototest;
using namespace tlwpb_kind;
using B = TLWPBMeasurementBundle;

namespace {

std::vector<const TLWPBMessageDescriptor*> allDescriptors() {
  return {&TLWPBMeasurementBatch::descriptor(),
          &TLWPBMeasurementBundle::descriptor(),
          &TLWPBEvent::descriptor(),
          &TLWPBEventParam::descriptor(),
          &TLWPBUserAttribute::descriptor(),
          &TLWPBAudienceLeafFilterResult::descriptor(),
          &TLWPBResultData::descriptor(),
          &TLWPBDynamicFilterResultTimestamp::descriptor(),
          &TLWPBSequenceFilterResultTimestamp::descriptor(),
          &TLWPBHashedUserData::descriptor(),
          &TLWPBAddress::descriptor(),
          &TLWPBMeasurementConfig::descriptor(),
          &TLWPBSetting::descriptor(),
          &TLWPBEventConfig::descriptor(),
          &TLWPBAudience::descriptor(),
          &TLWPBEventFilter::descriptor(),
          &TLWPBPropertyFilter::descriptor(),
          &TLWPBFilter::descriptor(),
          &TLWPBStringFilter::descriptor(),
          &TLWPBNumberFilter::descriptor(),
          &TLWPBProgram::descriptor(),
          &TLWPBOgtActivities::descriptor(),
          &TLWPBOgtActivity::descriptor(),
          &TLWPBRuntimeEntity::descriptor()};
}

// A bundle with a little of everything, as bytes.
Bytes sampleBundleBytes() {
  auto b = B::initWithMessageInfo();
  EXPECT_TRUE(b->SetInt32(B::kProtocolVersion, 1));
  EXPECT_TRUE(b->SetInt32(B::kTimezoneOffsetMinutes, -60));
  EXPECT_TRUE(b->SetString(B::kAppId, "com.example"));
  EXPECT_TRUE(b->SetRepeated(B::kExperimentIds, platform::Array{platform::Value(1), platform::Value(300)}));
  auto e = TLWPBEvent::initWithMessageInfo();
  EXPECT_TRUE(e->SetString(TLWPBEvent::kName, "_e"));
  EXPECT_TRUE(e->SetInt64(TLWPBEvent::kTimestamp, 1700000000000));
  auto p = TLWPBEventParam::initWithMessageInfo();
  EXPECT_TRUE(p->SetString(TLWPBEventParam::kName, "_et"));
  EXPECT_TRUE(p->SetDouble(TLWPBEventParam::kDoubleValue, 12.5));
  EXPECT_TRUE(e->SetRepeated(TLWPBEvent::kParams, std::vector{p, p}));
  EXPECT_TRUE(b->SetRepeated(B::kEvents, std::vector{e}));
  EXPECT_TRUE(b->SetBool(B::kLimitedAdTracking, true));
  return *b->protoBuffer();
}

std::size_t varintSize(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

// `depth` levels of one message type nested through length-delimited field `field`; every
// level starts with `head` (the outermost counts as one level). Built in linear time.
Bytes nested(int depth, std::uint32_t field, const Bytes& head) {
  std::vector<std::size_t> sizes(static_cast<std::size_t>(depth));
  sizes[static_cast<std::size_t>(depth) - 1] = head.size();
  for (int i = depth - 2; i >= 0; --i) {
    std::size_t inner = sizes[static_cast<std::size_t>(i) + 1];
    sizes[static_cast<std::size_t>(i)] = head.size() + varintSize((field << 3) | 2) + varintSize(inner) + inner;
  }
  Bytes out;
  out.reserve(sizes[0]);
  for (int i = 0; i < depth; ++i) {
    out.insert(out.end(), head.begin(), head.end());
    if (i + 1 < depth) {
      putTag(out, field, 2);
      putVarint(out, sizes[static_cast<std::size_t>(i) + 1]);
    }
  }
  return out;
}

// EventParam nested `depth` levels through param_value.
Bytes nestedParams(int depth) { return nested(depth, 6, Bytes{}); }

}  // namespace

// ---- schema tables -----------------------------------------------------------------------

TEST(TLWPBMessageTest, FieldTablesAgreeWithTheGeneratedNanopbTables) {
  for (const TLWPBMessageDescriptor* d : allDescriptors()) {
    SCOPED_TRACE(d->messageID);
    std::vector<std::byte> storage(d->nanopbStructSize);
    pb_field_iter_t iter;
    ASSERT_TRUE(pb_field_iter_begin(&iter, d->nanopbFields, storage.data()));
    std::size_t generatedCount = 0;
    do {
      ++generatedCount;
    } while (pb_field_iter_next(&iter));
    EXPECT_EQ(generatedCount, d->fields.size());
    std::set<std::uint32_t> numbers;
    for (const TLWPBFieldDescriptor& f : d->fields) {
      SCOPED_TRACE(f.name);
      EXPECT_TRUE(numbers.insert(f.number).second);
      ASSERT_TRUE(pb_field_iter_begin(&iter, d->nanopbFields, storage.data()));
      ASSERT_TRUE(pb_field_iter_find(&iter, f.number));
      const bool callback = PB_ATYPE(iter.type) == PB_ATYPE_CALLBACK;
      EXPECT_EQ(callback, (f.kind & (kRepeated | kString | kMessage)) != 0);
      EXPECT_EQ((f.kind & kRepeated) != 0, PB_HTYPE(iter.type) == PB_HTYPE_REPEATED);
      EXPECT_EQ((f.kind & kMessage) != 0, f.child != nullptr);
      if (!callback) {
        std::size_t expected = (f.kind & kBool) ? 1 : (f.kind & (kInt64 | kUInt64 | kDouble)) ? 8 : 4;
        EXPECT_EQ(iter.data_size, expected);
      }
    }
  }
}

// ---- accessors ---------------------------------------------------------------------------

TEST(TLWPBMessageTest, AccessorsCheckKindsAndLeaveTheMessageUnchangedOnMismatch) {
  LogCapture log;
  auto b = B::initWithMessageInfo();
  ASSERT_TRUE(b->SetString(B::kAppId, "app"));
  const Bytes before = *b->protoBuffer();

  EXPECT_FALSE(b->SetInt32(B::kAppId, 5));
  EXPECT_FALSE(b->SetBool(B::kProtocolVersion, true));
  EXPECT_FALSE(b->SetString(B::kSdkVersion, "x"));
  EXPECT_FALSE(b->SetDouble(B::kSdkVersion, 1.0));
  EXPECT_FALSE(b->SetInt64(B::kTimezoneOffsetMinutes, 1));
  EXPECT_FALSE(b->SetRepeated(B::kAppId, platform::Array{}));
  EXPECT_FALSE(b->SetInt32(-1, 1));
  EXPECT_FALSE(b->SetInt32(46, 1));
  EXPECT_FALSE(b->HasField(46));
  EXPECT_EQ(*b->protoBuffer(), before);

  EXPECT_EQ(b->GetInt64(B::kAppId), 0);
  EXPECT_EQ(b->GetString(B::kProtocolVersion), std::nullopt);
  EXPECT_TRUE(b->GetRepeated(B::kProtocolVersion).empty());
  EXPECT_FALSE(b->GetMessage<TLWPBHashedUserData>(B::kAppId));
  EXPECT_TRUE(log.contains("<Nano/Failure> Field type isn't a scalar INT32. Message: MeasurementBundle, field ID: 14"));
  EXPECT_TRUE(log.contains("<Nano/Failure> Field type isn't a scalar BOOL. Message: MeasurementBundle, field ID: 0"));
  EXPECT_TRUE(log.contains("<Nano/Failure> Field type isn't a scalar STRING. Message: MeasurementBundle, field ID: 17"));
  EXPECT_TRUE(log.contains("<Nano/Failure> Field type isn't a scalar INT64. Message: MeasurementBundle, field ID: 14"));
  EXPECT_TRUE(log.contains("<Nano/Failure> Field type isn't REPEATED. Message: MeasurementBundle, field ID: 14"));

  // Unset optional scalars read as zero and are not written; repeated fields always "have".
  auto empty = B::initWithMessageInfo();
  EXPECT_FALSE(empty->HasField(B::kProtocolVersion));
  EXPECT_EQ(empty->GetInt32(B::kProtocolVersion), 0);
  EXPECT_FALSE(empty->GetBool(B::kLimitedAdTracking));
  EXPECT_EQ(empty->GetDouble(0), 0.0);  // kind mismatch, still zero
  EXPECT_TRUE(empty->HasField(B::kEvents));
  EXPECT_TRUE(empty->protoBuffer()->empty());

  // A zero that is set is present and written; clearing removes it.
  ASSERT_TRUE(empty->SetInt32(B::kRetryCount, 0));
  EXPECT_TRUE(empty->HasField(B::kRetryCount));
  EXPECT_EQ(*empty->protoBuffer(), (Bytes{0xB8, 0x02, 0x00}));
  ASSERT_TRUE(empty->ClearField(B::kRetryCount));
  EXPECT_FALSE(empty->HasField(B::kRetryCount));
  ASSERT_TRUE(empty->SetString(B::kAppId, "a"));
  ASSERT_TRUE(empty->SetString(B::kAppId, std::nullopt));
  EXPECT_TRUE(empty->protoBuffer()->empty());

  // Unsigned 32-bit fields keep their full range through the signed accessor.
  ASSERT_TRUE(empty->SetInt32(B::kAttConsentStatus, -1));
  auto back = B::initWithBuffer(*empty->protoBuffer());
  ASSERT_TRUE(back);
  EXPECT_EQ(static_cast<std::uint32_t>(back->GetInt32(B::kAttConsentStatus)), 0xFFFFFFFFu);
  // Values that do not fit a list's element type are refused whole.
  EXPECT_FALSE(empty->SetRepeated(B::kExperimentIds, platform::Array{platform::Value(1), platform::Value(-1)}));
  EXPECT_FALSE(empty->SetRepeated(B::kExperimentIds, platform::Array{platform::Value(1ull << 32)}));
  EXPECT_FALSE(empty->SetRepeated(B::kExperimentIds, platform::Array{platform::Value("7")}));
  EXPECT_TRUE(empty->GetRepeated(B::kExperimentIds).empty());
}

TEST(TLWPBMessageTest, MessagesAreCopiedInAndOutAndTypesAreChecked) {
  auto data = TLWPBResultData::initWithMessageInfo();
  ASSERT_TRUE(data->SetRepeated(TLWPBResultData::kStatus, platform::Array{platform::Value(1)}));
  auto r = TLWPBAudienceLeafFilterResult::initWithMessageInfo();
  ASSERT_TRUE(r->SetMessage(TLWPBAudienceLeafFilterResult::kCurrentData, data.get()));
  // Changing the original after setting does not reach the parent, nor does changing a
  // wrapper returned by GetMessage.
  ASSERT_TRUE(data->SetRepeated(TLWPBResultData::kStatus, platform::Array{platform::Value(2)}));
  auto got = r->GetMessage<TLWPBResultData>(TLWPBAudienceLeafFilterResult::kCurrentData);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->GetRepeated(TLWPBResultData::kStatus), platform::Array{platform::Value(1)});
  ASSERT_TRUE(got->SetRepeated(TLWPBResultData::kStatus, platform::Array{platform::Value(3)}));
  EXPECT_EQ(r->GetMessage<TLWPBResultData>(TLWPBAudienceLeafFilterResult::kCurrentData)
                ->GetRepeated(TLWPBResultData::kStatus),
            platform::Array{platform::Value(1)});

  // A child of the wrong type is refused; so is a record of another message.
  auto wrong = TLWPBEvent::initWithMessageInfo();
  EXPECT_FALSE(r->SetMessage(TLWPBAudienceLeafFilterResult::kCurrentData, wrong.get()));
  EXPECT_FALSE(r->SetRepeated(TLWPBAudienceLeafFilterResult::kCurrentData, std::vector{data}));
  EXPECT_FALSE(TLWPBResultData::initWithMessageInfo(&wrong->messageInfo()));
  EXPECT_FALSE(r->GetMessage<TLWPBEvent>(TLWPBAudienceLeafFilterResult::kCurrentData));
  auto bundle = B::initWithMessageInfo();
  EXPECT_FALSE(bundle->SetRepeated(B::kEvents, std::vector{data}));
  EXPECT_FALSE(bundle->AddRepeatedMessage(B::kEvents, *data));
  ASSERT_TRUE(bundle->AddRepeatedMessage(B::kEvents, *wrong));
  ASSERT_TRUE(bundle->AddRepeatedMessage(B::kEvents, *wrong));
  EXPECT_EQ(bundle->GetRepeated<TLWPBEvent>(B::kEvents).size(), 2u);

  // The record functions: empty record, release one field, deep copy.
  auto record = TLWPBAudienceLeafFilterResult::initMessageInfoFn()();
  EXPECT_STREQ(record->messageID(), "AudienceLeafFilterResult");
  auto copied = TLWPBAudienceLeafFilterResult::copyMessageInfoFn()(r->messageInfo());
  ASSERT_TRUE(copied);
  EXPECT_TRUE(copied->isEqual(r->messageInfo()));
  TLWPBAudienceLeafFilterResult::deallocMessageFieldFn()(*copied, TLWPBAudienceLeafFilterResult::kCurrentData);
  EXPECT_FALSE(copied->isEqual(r->messageInfo()));
  EXPECT_TRUE(copied->isEqual(*record));
}

// Moving events into a bundle takes the records nobody else holds and copies the others;
// the result encodes exactly as the copying path does.
TEST(TLWPBMessageTest, MovedRepeatedMessagesEqualCopiedOnesAndSharedOnesStayIntact) {
  auto makeEvent = [](const char* name) {
    auto e = TLWPBEvent::initWithMessageInfo();
    EXPECT_TRUE(e->SetString(TLWPBEvent::kName, name));
    return e;
  };
  std::vector<std::shared_ptr<TLWPBEvent>> events{makeEvent("a"), makeEvent("b"), makeEvent("c")};
  auto copied = B::initWithMessageInfo();
  ASSERT_TRUE(copied->SetRepeated(B::kEvents, events));
  auto keptElsewhere = events[1];

  auto moved = B::initWithMessageInfo();
  ASSERT_TRUE(moved->MoveRepeated(B::kEvents, std::move(events)));
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(moved->isEqualMessage(*copied));
  EXPECT_EQ(moved->protoBuffer(), copied->protoBuffer());
  EXPECT_EQ(keptElsewhere->GetString(TLWPBEvent::kName).value_or(""), "b") << "a shared message is copied, not taken";

  // A wrong child type fails and leaves the field as it was.
  std::vector<std::shared_ptr<TLWPBResultData>> wrong{TLWPBResultData::initWithMessageInfo()};
  EXPECT_FALSE(moved->MoveRepeated(B::kEvents, std::move(wrong)));
  EXPECT_EQ(moved->GetRepeated<TLWPBEvent>(B::kEvents).size(), 3u);
}

TEST(TLWPBMessageTest, NestingBeyondTheLimitIsRefusedWhenBuildingAndEncoding) {
  // Build a chain of EventParams through param_value up to the limit.
  auto chain = TLWPBEventParam::initWithMessageInfo();
  for (int depth = 1; depth < kTLWPBMaxNestingDepth; ++depth) {
    auto outer = TLWPBEventParam::initWithMessageInfo();
    ASSERT_TRUE(outer->SetRepeated(TLWPBEventParam::kParamValue, std::vector{chain})) << depth;
    chain = outer;
  }
  auto bytes = chain->protoBuffer();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, nestedParams(kTLWPBMaxNestingDepth));
  auto tooDeep = TLWPBEventParam::initWithMessageInfo();
  EXPECT_FALSE(tooDeep->SetRepeated(TLWPBEventParam::kParamValue, std::vector{chain}));
  EXPECT_FALSE(tooDeep->AddRepeatedMessage(TLWPBEventParam::kParamValue, *chain));
}

// ---- untrusted input ---------------------------------------------------------------------

TEST(TLWPBMessageTest, EveryTruncationFailsOrEndsExactlyAtAFieldBoundary) {
  LogCapture quiet;
  const Bytes full = sampleBundleBytes();
  ASSERT_GT(full.size(), 40u);
  std::size_t failures = 0, boundaries = 0;
  for (std::size_t n = 0; n < full.size(); ++n) {
    Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    TLWError error;
    auto b = B::initWithBuffer(prefix, &error);
    if (!b) {
      ++failures;
      EXPECT_EQ(error.code(), kTLWPBErrorCodeDecodeFailed);
      EXPECT_NE(error.localizedDescription().find("MeasurementBundle decoder failed"), std::string::npos);
      continue;
    }
    // A prefix that decodes must hold whole top-level fields only: it re-encodes to itself.
    ++boundaries;
    EXPECT_EQ(*b->protoBuffer(), prefix) << "prefix length " << n;
  }
  // The bundle holds 7 top-level key/value pairs (fields 1, 2, 12, 14, 20, 45, 45): the
  // empty prefix and the end of each but the last are the proper prefixes that decode.
  EXPECT_EQ(boundaries, 7u);
  EXPECT_EQ(failures, full.size() - boundaries);
}

TEST(TLWPBMessageTest, RandomCorruptionNeverCrashesAndDecodedResultsReencode) {
  LogCapture quiet;
  const Bytes full = sampleBundleBytes();
  std::mt19937 rng(12345);
  int decoded = 0, refused = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes bytes = full;
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) {
      bytes[rng() % bytes.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    }
    auto b = B::initWithBuffer(bytes);
    if (!b) {
      ++refused;
      continue;
    }
    ++decoded;
    auto again = b->protoBuffer();
    ASSERT_TRUE(again);
    auto twice = B::initWithBuffer(*again);
    ASSERT_TRUE(twice);
    EXPECT_TRUE(twice->isEqualMessage(*b));
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(decoded, 0);
}

TEST(TLWPBMessageTest, LengthsAndCountsBeyondTheInputOrTheLimitsAreRefused) {
  LogCapture quiet;
  TLWError error;
  // A length prefix pointing past the end.
  Bytes past;
  putTag(past, 2, 2);
  putVarint(past, 100);
  past.insert(past.end(), {0x12, 0x00, 0x00});
  EXPECT_FALSE(B::initWithBuffer(past, &error));
  // A length prefix near 2^64.
  Bytes huge;
  putTag(huge, 8, 2);
  putVarint(huge, ~0ull - 3);
  huge.push_back('x');
  EXPECT_FALSE(B::initWithBuffer(huge, &error));
  // An eleven-byte varint.
  Bytes longVarint{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  EXPECT_FALSE(B::initWithBuffer(longVarint, &error));
  // A scalar field with a length-delimited wire type.
  Bytes wrongWire;
  putLengthDelimited(wrongWire, 1, Bytes{0x01});
  EXPECT_FALSE(B::initWithBuffer(wrongWire, &error));
  // Unknown fields of every wire type are skipped.
  Bytes unknown;
  putTag(unknown, 100, 0);
  putVarint(unknown, 5);
  putLengthDelimited(unknown, 101, Bytes{1, 2, 3});
  putTag(unknown, 102, 5);
  unknown.insert(unknown.end(), {1, 2, 3, 4});
  putTag(unknown, 1, 0);
  putVarint(unknown, 1);
  auto skipped = B::initWithBuffer(unknown, &error);
  ASSERT_TRUE(skipped);
  EXPECT_EQ(skipped->GetInt32(B::kProtocolVersion), 1);

  // Strings: exactly the limit passes, one more byte fails.
  Bytes atLimit;
  putLengthDelimited(atLimit, 8, Bytes(kTLWPBMaxStringLength, 'a'));
  auto big = B::initWithBuffer(atLimit, &error);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->GetString(B::kPlatform)->size(), kTLWPBMaxStringLength);
  Bytes twoMiB;
  putLengthDelimited(twoMiB, 8, Bytes(2 * 1024 * 1024, 'a'));
  EXPECT_FALSE(B::initWithBuffer(twoMiB, &error));
  EXPECT_NE(error.localizedDescription().find("Unable to process proto stream. Buffer is too big. 2097152 > 1048576"),
            std::string::npos);

  // A repeated field with a million elements, packed and unpacked.
  Bytes packedPayload;
  for (int i = 0; i < 1000000; ++i) putVarint(packedPayload, 7);
  Bytes packed;
  putLengthDelimited(packed, 45, packedPayload);
  EXPECT_FALSE(B::initWithBuffer(packed, &error));
  EXPECT_NE(error.localizedDescription().find("elements in MeasurementBundle.experiment_ids"), std::string::npos);
  Bytes unpacked;
  for (int i = 0; i < 1000000; ++i) {
    putTag(unpacked, 2, 2);
    putVarint(unpacked, 0);
  }
  EXPECT_FALSE(B::initWithBuffer(unpacked, &error));
  // The limit itself is accepted.
  Bytes limitPayload;
  for (std::size_t i = 0; i < kTLWPBMaxRepeatedCount; ++i) putVarint(limitPayload, i & 0x7F);
  Bytes atCount;
  putLengthDelimited(atCount, 45, limitPayload);
  auto many = B::initWithBuffer(atCount, &error);
  ASSERT_TRUE(many);
  EXPECT_EQ(many->GetRepeated(B::kExperimentIds).size(), kTLWPBMaxRepeatedCount);
}

TEST(TLWPBMessageTest, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  LogCapture quiet;
  TLWError error;
  auto atLimit = TLWPBEventParam::initWithBuffer(nestedParams(kTLWPBMaxNestingDepth), &error);
  EXPECT_TRUE(atLimit) << error.localizedDescription();
  EXPECT_FALSE(TLWPBEventParam::initWithBuffer(nestedParams(kTLWPBMaxNestingDepth + 1), &error));
  EXPECT_NE(error.localizedDescription().find("nested deeper"), std::string::npos);
  EXPECT_FALSE(TLWPBEventParam::initWithBuffer(nestedParams(10000), &error));
  // The same through a configuration program's entities.
  // Statements (type 4) nested through their value lists.
  Bytes entity = nested(10000, 2, Bytes{0x08, 0x04});
  Bytes program;
  putLengthDelimited(program, 1, entity);
  Bytes config;
  putLengthDelimited(config, 9, program);
  EXPECT_FALSE(TLWPBMeasurementConfig::initWithBuffer(config, &error));
}

TEST(TLWPBMessageTest, RepeatedSingularMessagesMergeAndRepeatedScalarsAcceptBothEncodings) {
  // Two occurrences of current_data merge: lists append, scalars of the later one win.
  Bytes first, second, result;
  putTag(first, 1, 0);
  putVarint(first, 1);
  putTag(second, 1, 0);
  putVarint(second, 2);
  putLengthDelimited(result, 2, first);
  putLengthDelimited(result, 2, second);
  auto r = TLWPBAudienceLeafFilterResult::initWithBuffer(result);
  ASSERT_TRUE(r);
  auto data = r->GetMessage<TLWPBResultData>(TLWPBAudienceLeafFilterResult::kCurrentData);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->GetRepeated(TLWPBResultData::kStatus), (platform::Array{platform::Value(1), platform::Value(2)}));

  // Packed and unpacked elements of one list may even be mixed.
  Bytes mixed;
  Bytes packed;
  putVarint(packed, 5);
  putVarint(packed, ~0ull);  // -1 as int64
  putLengthDelimited(mixed, 2, packed);
  putTag(mixed, 2, 0);
  putVarint(mixed, 6);
  auto seq = TLWPBSequenceFilterResultTimestamp::initWithBuffer(mixed);
  ASSERT_TRUE(seq);
  EXPECT_EQ(seq->GetRepeated(TLWPBSequenceFilterResultTimestamp::kEvalTimestamps),
            (platform::Array{platform::Value(5), platform::Value(-1), platform::Value(6)}));
}

TEST(TLWPBMessageTest, ConstAccessFromManyThreadsSeesOneConsistentMessage) {
  const Bytes bytes = sampleBundleBytes();
  auto shared = B::initWithBuffer(bytes);
  ASSERT_TRUE(shared);
  LogCapture log;  // the handler is shared by every thread
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto own = B::initWithBuffer(bytes);
        auto out = shared->protoBuffer();
        if (!own || !out || *out != bytes || shared->GetInt32(B::kTimezoneOffsetMinutes) != -60 ||
            shared->GetRepeated<TLWPBEvent>(B::kEvents).size() != 1) {
          ++mismatches;
        }
        (void)shared->GetInt32(B::kAppId);  // logs a kind mismatch
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(log.lines().size(), 800u);
}
