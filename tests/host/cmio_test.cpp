// Host object model tests: properties, adding streams and devices (and the host refusing),
// starting the service, and the stream calls reaching the host, as the test double records them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/cmio/CMIOExtension.h"
#include "tests/double/FakeHost.h"
#include "tests/harness/FdCount.h"

namespace {

using kova::host::HostOperation;
using kova::testing::FakeHost;
using kova::testing::FdLeakGuard;
using kova::testing::ScopedFakeHost;

// ---- properties ----

TEST(Properties, UnsetValuesAreNotReported) {
    auto stream = CMIOExtensionStreamProperties::initWithDictionary({});
    EXPECT_TRUE(stream->propertiesDictionary().empty());
    EXPECT_FALSE(stream->activeFormatIndex());
    EXPECT_FALSE(stream->frameDuration());
    stream->setFrameDuration(CMTimeMake(1, 30));
    EXPECT_FALSE(stream->has(CMIOExtensionPropertyStreamActiveFormatIndex));
    stream->setFrameDuration(std::nullopt);
    EXPECT_FALSE(stream->has(CMIOExtensionPropertyStreamFrameDuration));
    EXPECT_TRUE(stream->propertiesDictionary().empty());
}

TEST(Properties, ValuesOfAnotherTypeReadAsAbsent) {
    CMIOExtensionPropertyDictionary dictionary;
    dictionary[CMIOExtensionPropertyDeviceModel] = CMIOExtensionPropertyState{std::int64_t(7)};
    dictionary[CMIOExtensionPropertyDeviceTransportType] = CMIOExtensionPropertyState{};
    auto device = CMIOExtensionDeviceProperties::initWithDictionary(dictionary);
    EXPECT_TRUE(device->has(CMIOExtensionPropertyDeviceModel));
    EXPECT_FALSE(device->model());
    EXPECT_EQ(device->integer(CMIOExtensionPropertyDeviceModel), 7);
    EXPECT_TRUE(device->has(CMIOExtensionPropertyDeviceTransportType));
    EXPECT_FALSE(device->transportType());
    EXPECT_FALSE(device->time(CMIOExtensionPropertyDeviceModel));
}

// ---- host objects ----

class NoStreamSource final : public CMIOExtensionStreamSource {
  public:
    std::vector<CMIOExtensionStreamFormatRef> formats() const override { return {}; }
    CMIOExtensionPropertySet availableProperties() const override { return {}; }
    CMIOExtensionStreamPropertiesRef streamProperties(const CMIOExtensionPropertySet&,
                                                      NSError*) override {
        return CMIOExtensionStreamProperties::initWithDictionary({});
    }
    bool setStreamProperties(const CMIOExtensionStreamPropertiesRef&, NSError*) override {
        return true;
    }
    bool authorizedToStartStream(const CMIOExtensionClientRef&) override { return true; }
    bool startStream(NSError*) override { return true; }
    bool stopStream(NSError*) override { return true; }
};

class HostObjectTest : public ::testing::Test {
  protected:
    CMIOExtensionStreamRef makeStream(std::string name, CMIOExtensionStreamDirection direction) {
        return CMIOExtensionStream::initWithLocalizedName(
            std::move(name), UUID::random(), direction, CMIOExtensionStreamClockTypeHostTime,
            streamSource_);
    }
    CMIOExtensionDeviceRef makeDevice() {
        return CMIOExtensionDevice::initWithLocalizedName(
            "Kova", *UUID::fromUUIDString("6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D4"),
            std::string("6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D4"), {});
    }

    FdLeakGuard fds_;
    ScopedFakeHost host_;
    std::shared_ptr<NoStreamSource> streamSource_ = std::make_shared<NoStreamSource>();
};

TEST_F(HostObjectTest, AddedStreamsAreKeptAndReported) {
    auto device = makeDevice();
    auto video = makeStream("Kova Video", CMIOExtensionStreamDirectionSource);
    auto sink = makeStream("Kova Sink", CMIOExtensionStreamDirectionSink);
    NSError error;
    EXPECT_TRUE(device->addStream(video, &error));
    EXPECT_TRUE(device->addStream(sink, nullptr));
    EXPECT_EQ(device->streams(), (std::vector<CMIOExtensionStreamRef>{video, sink}));
    EXPECT_EQ(host_->addedStreams(), (std::vector<CMIOExtensionStreamRef>{video, sink}));
    EXPECT_EQ(host_->callLog(),
              (std::vector<std::string>{"addStream Kova Video", "addStream Kova Sink"}));
}

TEST_F(HostObjectTest, RefusedStreamGivesAnErrorAndIsNotKept) {
    auto device = makeDevice();
    auto video = makeStream("Kova Video", CMIOExtensionStreamDirectionSource);
    host_->failNext(HostOperation::AddStream, -7);
    NSError error;
    EXPECT_FALSE(device->addStream(video, &error));
    EXPECT_EQ(error.domain, "com.kova.host");
    EXPECT_EQ(error.code, -7);
    EXPECT_EQ(error.localizedDescription, "the host refused the stream");
    EXPECT_TRUE(device->streams().empty());
    EXPECT_TRUE(host_->addedStreams().empty());
    EXPECT_TRUE(host_->callLog().empty());

    EXPECT_TRUE(device->addStream(video, &error));   // the fault was for one call only
    EXPECT_FALSE(device->addStream(video, &error));  // but a stream is added once
    EXPECT_EQ(error.domain, "com.kova.host");
    EXPECT_EQ(device->streams().size(), 1u);
    EXPECT_FALSE(device->addStream(nullptr, &error));
}

TEST_F(HostObjectTest, AddedAndRefusedDevices) {
    auto provider = CMIOExtensionProvider::initWithSource({}, nullptr);
    EXPECT_EQ(provider->source(), nullptr);
    EXPECT_EQ(provider->clientQueue(), nullptr);
    auto device = makeDevice();
    host_->failAlways(HostOperation::AddDevice, -3);
    NSError error;
    EXPECT_FALSE(provider->addDevice(device, &error));
    EXPECT_FALSE(provider->addDevice(device, nullptr));
    EXPECT_EQ(error.domain, "com.kova.host");
    EXPECT_EQ(error.code, -3);
    EXPECT_EQ(error.localizedDescription, "the host refused the device");
    EXPECT_TRUE(provider->devices().empty());

    host_->clearFaults();
    EXPECT_TRUE(provider->addDevice(device, &error));
    EXPECT_EQ(provider->devices(), (std::vector<CMIOExtensionDeviceRef>{device}));
    EXPECT_EQ(host_->addedDevices(), (std::vector<CMIOExtensionDeviceRef>{device}));
    EXPECT_EQ(host_->callLog(), (std::vector<std::string>{"addDevice Kova"}));
}

TEST_F(HostObjectTest, StartingTheServiceHandsTheProviderToTheHost) {
    auto provider = CMIOExtensionProvider::initWithSource({}, nullptr);
    CMIOExtensionProvider::startServiceWithProvider(provider);
    EXPECT_EQ(host_->startedProviders(), (std::vector<CMIOExtensionProviderRef>{provider}));
    EXPECT_EQ(host_->callLog(), (std::vector<std::string>{"startService"}));
}

TEST_F(HostObjectTest, SentBuffersAndScheduledOutputsReachTheHost) {
    auto video = makeStream("Kova Video", CMIOExtensionStreamDirectionSource);
    auto sink = makeStream("Kova Sink", CMIOExtensionStreamDirectionSink);
    host_->setHostSeconds(20);
    const auto sample = host_->makeSampleBuffer(CMTimeMake(12'500'000'000, 1'000'000'000));
    ASSERT_TRUE(sample);
    EXPECT_EQ(CVPixelBufferGetWidth(sample->imageBuffer()), 800u);
    EXPECT_EQ(CVPixelBufferGetBytesPerRow(sample->imageBuffer()), 3200u);

    video->sendSampleBuffer(sample, CMIOExtensionStreamDiscontinuityFlagNone, 12'500'000'000);
    sink->notifyScheduledOutputChanged(
        CMIOExtensionScheduledOutput::initWithSequenceNumber(41, 20'000'000'000));

    const auto sent = host_->sentBuffers();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].stream, video.get());
    EXPECT_EQ(sent[0].sampleBuffer, sample);
    EXPECT_EQ(sent[0].discontinuity, 0u);
    EXPECT_EQ(sent[0].hostTimeInNanoseconds, 12'500'000'000u);
    EXPECT_EQ(sent[0].clockAtSend, 20'000'000'000u);
    const auto outputs = host_->scheduledOutputs();
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0].stream, sink.get());
    EXPECT_EQ(outputs[0].sequenceNumber, 41u);
    EXPECT_EQ(outputs[0].hostTimeInNanoseconds, 20'000'000'000u);
    EXPECT_EQ(host_->callLog(), (std::vector<std::string>{"send", "scheduledOutput"}));
}

TEST_F(HostObjectTest, ConsumeRequestsWaitUntilTheTestCompletesThem) {
    auto sink = makeStream("Kova Sink", CMIOExtensionStreamDirectionSink);
    const auto client = FakeHost::makeClient();
    const auto otherClient = FakeHost::makeClient();
    EXPECT_NE(client->clientID(), otherClient->clientID());

    struct Completion {
        CMSampleBufferRef sample;
        std::uint64_t sequence;
        bool hasMore;
        std::optional<NSError> error;
    };
    std::vector<Completion> completions;
    // Like a relay: each completion asks for the next buffer, from inside the completion.
    std::function<void()> request = [&] {
        sink->consumeSampleBufferFromClient(
            client,
            [&](CMSampleBufferRef sample, std::uint64_t sequence,
                CMIOExtensionStreamDiscontinuityFlags, bool hasMore, std::optional<NSError> error) {
                completions.push_back({sample, sequence, hasMore, error});
                if (completions.size() < 3) request();
            });
    };
    request();
    const auto pending = host_->pendingConsumeRequests();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].stream, sink.get());
    EXPECT_EQ(pending[0].client, client);

    EXPECT_FALSE(host_->completeConsume(otherClient, nullptr, 1));
    const auto sample = host_->makeSampleBuffer(CMTimeMake(1, 1));
    EXPECT_TRUE(host_->completeConsume(client, sample, 7, 0, true));
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].sample, sample);
    EXPECT_EQ(completions[0].sequence, 7u);
    EXPECT_TRUE(completions[0].hasMore);
    EXPECT_FALSE(completions[0].error);
    EXPECT_EQ(host_->pendingConsumeRequests().size(), 1u);  // the next request

    EXPECT_EQ(host_->completeAllConsumesWithError(NSError{"com.kova.host", 5, "gone"}), 1u);
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_FALSE(completions[1].sample);
    ASSERT_TRUE(completions[1].error);
    EXPECT_EQ(completions[1].error->code, 5);
    // The request made by that completion stays pending: it was not there when the call began.
    EXPECT_EQ(host_->pendingConsumeRequests().size(), 1u);
    EXPECT_TRUE(host_->completeConsume(client, nullptr, 8));
    EXPECT_TRUE(host_->pendingConsumeRequests().empty());
    EXPECT_EQ(host_->callLog(), (std::vector<std::string>{"consume", "consume", "consume"}));
}

// ---- the backend ----

TEST(HostBackend, UsingTheHostWithNoneInstalledIsFatal) {
    EXPECT_DEATH(kova::host::HostBackend::current(), "kova: no host installed");
}

}  // namespace
