// The device source and the provider source: identity, properties, how the graph is built and
// joined (through the entry's own steps), connecting clients, and the fatal ends at start.
#include <gtest/gtest.h>

#include <cstdlib>

#include "Sources/CameraExtension/CameraDeviceSource.h"
#include "Sources/CameraExtension/CameraProviderSource.h"
#include "Sources/CameraExtension/CameraSinkStreamSource.h"
#include "Sources/CameraExtension/CameraStreamSource.h"
#include "Sources/CameraExtension/Entry.h"
#include "Sources/CameraExtension/ExtensionSupport.h"
#include "host/dispatch/RunLoop.h"
#include "tests/extension/ExtensionTestSupport.h"

namespace kova::testing {
namespace {

using kova::host::HostOperation;

TEST(DeviceSource, IdentityAndBothStreamsOutputFirst) {
    ScopedFakeHost host;
    const auto deviceSource = CameraDeviceSource::create();
    ASSERT_TRUE(deviceSource->device);
    const CMIOExtensionDeviceRef& device = deviceSource->device;
    EXPECT_EQ(device->localizedName(), "Kova");
    EXPECT_EQ(device->legacyDeviceID(), device->deviceID().uuidString());
    EXPECT_EQ(device->source(), deviceSource);

    ASSERT_TRUE(deviceSource->sourceStream);
    ASSERT_TRUE(deviceSource->sinkStream);
    EXPECT_EQ(deviceSource->sinkStream->sourceStream.lock(), deviceSource->sourceStream);
    EXPECT_EQ(deviceSource->sourceStream->device, device);
    EXPECT_EQ(deviceSource->sinkStream->device, device);
    EXPECT_EQ(device->streams(),
              (std::vector<CMIOExtensionStreamRef>{deviceSource->sourceStream->stream,
                                                   deviceSource->sinkStream->stream}));
    EXPECT_EQ(host->callLog(),
              (std::vector<std::string>{"addStream Kova Video", "addStream Kova Sink"}));

    // The same identity every time (applications remember a camera by it).
    EXPECT_EQ(CameraDeviceSource::create()->device->deviceID(), device->deviceID());
}

TEST(DeviceSource, PropertiesAnswerExactlyTheKeysAskedAndIgnoreWrites) {
    ScopedFakeHost host;
    const auto deviceSource = CameraDeviceSource::create();
    EXPECT_EQ(deviceSource->availableProperties(),
              (CMIOExtensionPropertySet{CMIOExtensionPropertyDeviceTransportType,
                                        CMIOExtensionPropertyDeviceModel}));
    auto write = CMIOExtensionDeviceProperties::initWithDictionary({});
    write->setModel("Other");
    write->setTransportType(1);
    const struct {
        CMIOExtensionPropertySet asked;
        bool model, transport;
    } cases[] = {
        {{}, false, false},
        {{CMIOExtensionPropertyDeviceModel}, true, false},
        {{CMIOExtensionPropertyDeviceTransportType}, false, true},
        {{CMIOExtensionPropertyProviderManufacturer, CMIOExtensionPropertyStreamFrameDuration},
         false,
         false},
        {deviceSource->availableProperties(), true, true},
    };
    for (const bool written : {false, true}) {
        if (written) {
            EXPECT_TRUE(deviceSource->setDeviceProperties(write, nullptr));
        }
        for (const auto& c : cases) {
            const auto answer = deviceSource->deviceProperties(c.asked, nullptr);
            EXPECT_EQ(answer->propertiesDictionary().size(), std::size_t(c.model) + c.transport);
            EXPECT_EQ(answer->model(), c.model ? std::optional<std::string>("Kova") : std::nullopt);
            EXPECT_EQ(answer->transportType(),
                      c.transport ? std::optional<std::int64_t>(1986622068) : std::nullopt)
                << "'virt'";
        }
    }
}

TEST(ProviderSource, OwnsTheProviderWithTheCompleteDevice) {
    ScopedFakeHost host;
    const auto providerSource = CameraProviderSource::create(nullptr);
    ASSERT_TRUE(providerSource->provider);
    ASSERT_TRUE(providerSource->deviceSource);
    EXPECT_EQ(providerSource->provider->source(), providerSource);
    EXPECT_EQ(providerSource->provider->clientQueue(), nullptr);
    EXPECT_EQ(providerSource->provider->devices(),
              (std::vector<CMIOExtensionDeviceRef>{providerSource->deviceSource->device}));
    EXPECT_EQ(host->callLog(), (std::vector<std::string>{"addStream Kova Video",
                                                         "addStream Kova Sink", "addDevice Kova"}));

    const auto queue = DispatchQueue::create("test.client");
    EXPECT_EQ(CameraProviderSource::create(queue)->provider->clientQueue(), queue);
}

TEST(ProviderSource, PropertiesAnswerOnlyTheManufacturer) {
    ScopedFakeHost host;
    const auto providerSource = CameraProviderSource::create(nullptr);
    EXPECT_EQ(providerSource->availableProperties(),
              (CMIOExtensionPropertySet{CMIOExtensionPropertyProviderManufacturer}));
    EXPECT_TRUE(providerSource->providerProperties({}, nullptr)->propertiesDictionary().empty());
    const auto answer = providerSource->providerProperties(
        {CMIOExtensionPropertyProviderManufacturer, CMIOExtensionPropertyProviderName,
         CMIOExtensionPropertyDeviceModel},
        nullptr);
    EXPECT_EQ(answer->manufacturer(), "Lantern Works");
    EXPECT_EQ(answer->propertiesDictionary().size(), 1u);

    auto write = CMIOExtensionProviderProperties::initWithDictionary({});
    write->setManufacturer("Someone Else");
    EXPECT_TRUE(providerSource->setProviderProperties(write, nullptr));
    EXPECT_EQ(
        providerSource->providerProperties({CMIOExtensionPropertyProviderManufacturer}, nullptr)
            ->manufacturer(),
        "Lantern Works");
}

class ConnectTest : public ::testing::Test {
  protected:
    std::size_t pendingFor(const CMIOExtensionClientRef& client) const {
        std::size_t count = 0;
        for (const auto& request : host.host->pendingConsumeRequests()) {
            if (request.client == client && request.stream == sink->stream.get()) ++count;
        }
        return count;
    }

    ScopedFakeHost host;
    std::shared_ptr<CameraProviderSource> providerSource = CameraProviderSource::create(nullptr);
    std::shared_ptr<CameraSinkStreamSource> sink = providerSource->deviceSource->sinkStream;
    CMIOExtensionClientRef client = FakeHost::makeClient();
};

// A client that connected while the sink was stopped has no relay, even once it starts.
TEST_F(ConnectTest, WhileTheSinkIsStoppedNothingIsAsked) {
    NSError error;
    EXPECT_TRUE(providerSource->connect(client, &error));
    sink->startStream(nullptr);
    EXPECT_TRUE(host->pendingConsumeRequests().empty());
    providerSource->connect(client, nullptr);
    EXPECT_EQ(pendingFor(client), 1u);
}

TEST_F(ConnectTest, WhileTheSinkIsStartedEachConnectStartsARelay) {
    sink->startStream(nullptr);
    EXPECT_TRUE(providerSource->connect(client, nullptr));
    EXPECT_EQ(pendingFor(client), 1u);
    EXPECT_TRUE(providerSource->connect(client, nullptr));
    EXPECT_EQ(pendingFor(client), 2u) << "nothing is deduplicated";
    const auto other = FakeHost::makeClient();
    EXPECT_TRUE(providerSource->connect(other, nullptr));
    EXPECT_EQ(pendingFor(other), 1u);
    EXPECT_EQ(host->pendingConsumeRequests().size(), 3u);
}

TEST_F(ConnectTest, DisconnectStopsNothing) {
    sink->startStream(nullptr);
    providerSource->connect(client, nullptr);
    providerSource->disconnect(client);
    EXPECT_EQ(pendingFor(client), 1u);
    ASSERT_TRUE(host->completeConsume(client, host->makeSampleBuffer(CMTimeMake(1, 1)), 1));
    EXPECT_EQ(pendingFor(client), 1u);
    EXPECT_EQ(sentOn(*host.host, providerSource->deviceSource->sourceStream->stream).size(), 1u);
}

class EntryTest : public ::testing::Test {
  protected:
    // The global lives for the whole process in the camera; each test here starts afresh.
    ~EntryTest() override { providerSource.reset(); }

    ScopedFakeHost host;
};

TEST_F(EntryTest, BuildsTheWholeGraphBeforeStartingTheService) {
    startCameraExtension();
    ASSERT_TRUE(providerSource);
    EXPECT_EQ(host->callLog(),
              (std::vector<std::string>{"addStream Kova Video", "addStream Kova Sink",
                                        "addDevice Kova", "startService"}));
    EXPECT_EQ(host->startedProviders(),
              (std::vector<CMIOExtensionProviderRef>{providerSource->provider}));
    EXPECT_EQ(providerSource->provider->clientQueue(), nullptr);
}

TEST_F(EntryTest, MainReturnsZeroShouldTheRunLoopReturn) {
    kova::host::RunLoop::main().stop();  // the next run returns at once
    EXPECT_EQ(cameraExtensionMain(), 0);
    EXPECT_EQ(host->startedProviders().size(), 1u);
    EXPECT_TRUE(providerSource);
}

// Refuses the n-th stream the device is asked to add. Any host operation after that refusal
// exits the process cleanly, which a death test counts as a failure: nothing may be tried
// after it.
class RefusingHost : public FakeHost {
  public:
    explicit RefusingHost(int refusedStream) : refusedStream_(refusedStream) {}
    std::int32_t failureFor(HostOperation op) override {
        if (refused_) std::_Exit(0);
        if (op == HostOperation::AddStream && ++streamsSeen_ == refusedStream_) {
            refused_ = true;
            return -17;
        }
        return FakeHost::failureFor(op);
    }

  private:
    int refusedStream_;
    int streamsSeen_ = 0;
    bool refused_ = false;
};

void buildWithRefusedStream(int refusedStream) {
    kova::host::HostBackend::install(std::make_shared<RefusingHost>(refusedStream));
    startCameraExtension();
}

TEST(EntryDeathTest, RefusedStreamEndsTheProcessNamingItsLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(buildWithRefusedStream(1),
                 "CameraExtension/main:214: Fatal error: the host refused the stream \\(domain "
                 "com.kova.host, code -17\\)");
    EXPECT_DEATH(buildWithRefusedStream(2),
                 "CameraExtension/main:215: Fatal error: the host refused the stream \\(domain "
                 "com.kova.host, code -17\\)");
}

TEST(EntryDeathTest, RefusedDeviceEndsTheProcessAtLine246) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            const auto host = FakeHost::install();
            host->failNext(HostOperation::AddDevice, -22);
            startCameraExtension();
        },
        "CameraExtension/main:246: Fatal error: the host refused the device \\(domain "
        "com.kova.host, code -22\\)");
}

}  // namespace
}  // namespace kova::testing
