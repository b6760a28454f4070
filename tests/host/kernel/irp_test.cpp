#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// What the device below is asked for: the query-interface request the driver sends at
// initialisation-complete, built the way the driver builds it.
struct Query {
    KEVENT Event;
    IO_STATUS_BLOCK Iosb;
    UCHAR Interface[36];
};

class Irp : public ::testing::Test {
  protected:
    void SetUp() override { host::ResetKernel(); }
    void TearDown() override {
        EXPECT_EQ(host::IrpOutstanding(), 0u);
        host::ResetKernel();
    }

    // Sends the request and waits for it as the driver does; returns the final status.
    static NTSTATUS SendQuery(PDEVICE_OBJECT device, Query* query) {
        std::memset(query->Interface, 0xEE, sizeof query->Interface);
        KeInitializeEvent(&query->Event, NotificationEvent, FALSE);
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &query->Event,
                                                &query->Iosb);
        if (irp == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MinorFunction = IRP_MN_QUERY_INTERFACE;
        next->Parameters.QueryInterface.Size = 36;
        next->Parameters.QueryInterface.Version = 0x200;
        next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(query->Interface);
        NTSTATUS status = IofCallDriver(device, irp);
        if (status == STATUS_PENDING) {
            EXPECT_EQ(KeWaitForSingleObject(&query->Event, Executive, KernelMode, FALSE, nullptr),
                      STATUS_SUCCESS);
            status = query->Iosb.Status;
        }
        return status;
    }
};

// A device that answers the query by filling the interface, now or later.
host::IrpHandler Answering(bool pend, UCHAR fill, int* calls) {
    return [=](PDEVICE_OBJECT self, PIRP irp) {
        ++*calls;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->MajorFunction, IRP_MJ_PNP);
        EXPECT_EQ(stack->MinorFunction, IRP_MN_QUERY_INTERFACE);
        EXPECT_EQ(stack->DeviceObject, self);
        EXPECT_EQ(stack->Parameters.QueryInterface.Size, 36);
        std::memset(stack->Parameters.QueryInterface.Interface, fill, 36);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 36;
        if (pend)
            return STATUS_PENDING;
        IofCompleteRequest(irp, 0);
        return STATUS_SUCCESS;
    };
}

TEST_F(Irp, SynchronousAnswerFillsTheStatusBlockAndSignalsTheEvent) {
    int calls = 0;
    PDEVICE_OBJECT device = host::CreateDeviceObject(Answering(false, 0x11, &calls));
    Query query;
    EXPECT_EQ(SendQuery(device, &query), STATUS_SUCCESS);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(query.Iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(query.Iosb.Information, 36u);
    EXPECT_EQ(query.Event.Header.SignalState, 1);
    EXPECT_EQ(query.Interface[35], 0x11);
}

TEST_F(Irp, PendedAnswerIsCompletedWhenTheCallerWaits) {
    int calls = 0;
    PDEVICE_OBJECT device = host::CreateDeviceObject(Answering(true, 0x22, &calls));
    Query query;
    EXPECT_EQ(SendQuery(device, &query), STATUS_SUCCESS);
    EXPECT_EQ(query.Iosb.Information, 36u);
    EXPECT_EQ(query.Interface[0], 0x22);
}

TEST_F(Irp, RefusalLeavesTheStatusTheCallerSet) {
    PDEVICE_OBJECT device = host::CreateDeviceObject([](PDEVICE_OBJECT, PIRP irp) {
        NTSTATUS status = irp->IoStatus.Status; // a driver that does not know the interface passes it on
        IofCompleteRequest(irp, 0);
        return status;
    });
    Query query;
    EXPECT_EQ(SendQuery(device, &query), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(query.Iosb.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(query.Interface[0], 0xEE);
}

TEST_F(Irp, PendedRefusalReachesTheStatusBlock) {
    PDEVICE_OBJECT device = host::CreateDeviceObject([](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        return STATUS_PENDING;
    });
    Query query;
    EXPECT_EQ(SendQuery(device, &query), STATUS_INVALID_PARAMETER);
}

TEST_F(Irp, InjectedFailureBuildsNoRequest) {
    int calls = 0;
    PDEVICE_OBJECT device = host::CreateDeviceObject(Answering(false, 0, &calls));
    host::InjectFault("IoBuildSynchronousFsdRequest", {1, 1, STATUS_INSUFFICIENT_RESOURCES});
    Query query;
    EXPECT_EQ(SendQuery(device, &query), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(host::IrpBuiltCount(), 0u);
}

TEST_F(Irp, RequestStartsAboveItsStackAndEachCallMovesDown) {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PDEVICE_OBJECT lower = host::CreateDeviceObject([](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_EQ(irp->CurrentLocation, host::DEVICE_STACK_SIZE - 1);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, 0);
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT upper = host::CreateDeviceObject([lower](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_EQ(irp->CurrentLocation, host::DEVICE_STACK_SIZE);
        *IoGetNextIrpStackLocation(irp) = *IoGetCurrentIrpStackLocation(irp);
        return IofCallDriver(lower, irp);
    });
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, upper, nullptr, 0, nullptr, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    // One block, as the I/O manager builds it: the first location the driver fills is the last one.
    EXPECT_EQ(IoGetNextIrpStackLocation(irp),
              reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + host::DEVICE_STACK_SIZE - 1);
    EXPECT_EQ(irp->StackCount, host::DEVICE_STACK_SIZE);
    EXPECT_EQ(irp->CurrentLocation, host::DEVICE_STACK_SIZE + 1);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_PNP);
    EXPECT_EQ(IofCallDriver(upper, irp), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

// A request goes where the device's driver object sends its major function, as on the platform: a
// device whose driver takes PnP requests elsewhere never reaches its own handler.
NTSTATUS NTAPI CompleteWithNoSuchDevice(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
    IofCompleteRequest(Irp, 0);
    return STATUS_NO_SUCH_DEVICE;
}

TEST_F(Irp, RequestsGoThroughTheDriverObjectsMajorFunction) {
    int calls = 0;
    PDEVICE_OBJECT device = host::CreateDeviceObject(Answering(false, 0x11, &calls));
    Query query;
    EXPECT_EQ(SendQuery(device, &query), STATUS_SUCCESS);
    DRIVER_OBJECT other{};
    other.MajorFunction[IRP_MJ_PNP] = CompleteWithNoSuchDevice;
    device->DriverObject = &other;
    EXPECT_EQ(SendQuery(device, &query), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(calls, 1);
}

TEST_F(Irp, TimedWaitOnAnEventNobodySignalsTimesOutOnTheClock) {
    host::ClockSetMode(host::ClockMode::Virtual);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -5000000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(host::ClockNow100ns(), 5000000);
}

TEST_F(Irp, SynchronizationEventIsResetByTheWaitItEnds) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KEVENT notification;
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
}

using IrpDeathTest = Irp;

TEST_F(IrpDeathTest, WaitingForeverOnAnEventNothingWillSignalStopsLoudly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), "nothing will signal");
}

TEST_F(IrpDeathTest, CompletingARequestTwiceStopsLoudly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PDEVICE_OBJECT device = host::CreateDeviceObject([](PDEVICE_OBJECT, PIRP irp) {
        IofCompleteRequest(irp, 0);
        IofCompleteRequest(irp, 0);
        return STATUS_SUCCESS;
    });
    EXPECT_DEATH(
        {
            PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &event, &iosb);
            IofCallDriver(device, irp);
        },
        "completed twice");
}

} // namespace
