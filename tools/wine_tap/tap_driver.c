/* Stand-in TUN adapter device for running the Windows client under Wine.
 *
 * Loaded by Wine's device host as a kernel driver service. It creates the
 * adapter device "\\.\Global\{GUID}.tap" (GUID from the service's value
 * "AdapterGuid") and answers the adapter control codes the client uses:
 * version, MTU, media status and TUN configuration. Packets the client writes
 * wait in a ring until the pump takes them; packets the pump puts complete
 * the client's reads. The pump is a second device, "\\.\TlxTapPump", which a
 * helper polls with its own control codes (see tap_pump.c).
 */
#include <ntddk.h>

#define TAP_CODE(n) CTL_CODE(FILE_DEVICE_UNKNOWN, n, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define TAP_IOCTL_GET_VERSION TAP_CODE(2)
#define TAP_IOCTL_GET_MTU TAP_CODE(3)
#define TAP_IOCTL_SET_MEDIA_STATUS TAP_CODE(6)
#define TAP_IOCTL_CONFIG_TUN TAP_CODE(10)
#define PUMP_IOCTL_TAKE TAP_CODE(0x801)  /* out: one packet the client wrote, or 0 bytes */
#define PUMP_IOCTL_PUT TAP_CODE(0x802)   /* in: one packet for the client */
#define PUMP_IOCTL_STATE TAP_CODE(0x803) /* out: struct PumpState */

#define POOL_TAG 0x54546c54u /* "TlTT" */

enum { RING_SLOTS = 64, PACKET_MAX = 2048, DRIVER_MAJOR = 9, DRIVER_MINOR = 21 };

struct Packet {
    ULONG length;
    UCHAR data[PACKET_MAX];
};

struct Ring {
    ULONG head, count, dropped;
    struct Packet slot[RING_SLOTS];
};

struct PumpState {
    ULONG opens, media, reads, writes, dropped;
    ULONG tun[3]; /* address, network, mask as the client set them */
};

struct Stand {
    PDEVICE_OBJECT tap, pump;
    UNICODE_STRING tapLink, pumpLink;
    WCHAR tapLinkText[128];
    struct Ring toClient, fromClient;
    LIST_ENTRY pendingReads; /* guarded by the cancel spin lock, like everything here */
    struct PumpState state;
    PFILE_OBJECT owner; /* the client's open of the adapter device */
};

static struct Stand *g;

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR info)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static int RingPush(struct Ring *r, const void *data, ULONG length)
{
    if (r->count == RING_SLOTS || length > PACKET_MAX) {
        r->dropped++;
        return 0;
    }
    struct Packet *p = &r->slot[(r->head + r->count) % RING_SLOTS];
    RtlCopyMemory(p->data, data, length);
    p->length = length;
    r->count++;
    return 1;
}

/* Copies the oldest packet into out (at most size bytes); its length, or -1 when empty. */
static LONG RingPop(struct Ring *r, void *out, ULONG size)
{
    if (r->count == 0)
        return -1;
    struct Packet *p = &r->slot[r->head];
    ULONG n = p->length < size ? p->length : size;
    RtlCopyMemory(out, p->data, n);
    r->head = (r->head + 1) % RING_SLOTS;
    r->count--;
    return (LONG)n;
}

/* The adapter device does buffered I/O: reads and writes use the system buffer. */
static void *UserBuffer(PIRP irp)
{
    return irp->AssociatedIrp.SystemBuffer;
}

static void CancelRead(PDEVICE_OBJECT dev, PIRP irp)
{
    (void)dev;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED, 0);
}

/* Hands queued packets to waiting reads; runs under the cancel spin lock, completes after it. */
static void ServeReads(void)
{
    KIRQL irql;
    for (;;) {
        IoAcquireCancelSpinLock(&irql);
        if (IsListEmpty(&g->pendingReads) || g->toClient.count == 0) {
            IoReleaseCancelSpinLock(irql);
            return;
        }
        PLIST_ENTRY e = RemoveHeadList(&g->pendingReads);
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        IoSetCancelRoutine(irp, NULL);
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        LONG n = RingPop(&g->toClient, UserBuffer(irp), s->Parameters.Read.Length);
        g->state.reads++;
        IoReleaseCancelSpinLock(irql);
        Complete(irp, STATUS_SUCCESS, (ULONG_PTR)n);
    }
}

static NTSTATUS TapRead(PIRP irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, CancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
        IoReleaseCancelSpinLock(irql);
        return Complete(irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(irp);
    InsertTailList(&g->pendingReads, &irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irql);
    ServeReads();
    return STATUS_PENDING;
}

static NTSTATUS TapWrite(PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    ULONG length = s->Parameters.Write.Length;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    RingPush(&g->fromClient, UserBuffer(irp), length);
    g->state.writes++;
    IoReleaseCancelSpinLock(irql);
    return Complete(irp, STATUS_SUCCESS, length);
}

/* Cancels every waiting read, as the real driver does when its handle is cleaned up. */
static void DropReads(void)
{
    KIRQL irql;
    for (;;) {
        IoAcquireCancelSpinLock(&irql);
        if (IsListEmpty(&g->pendingReads)) {
            IoReleaseCancelSpinLock(irql);
            return;
        }
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&g->pendingReads), IRP, Tail.Overlay.ListEntry);
        IoSetCancelRoutine(irp, NULL);
        IoReleaseCancelSpinLock(irql);
        Complete(irp, STATUS_CANCELLED, 0);
    }
}

static NTSTATUS TapControl(PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    ULONG in = s->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG *buf = (ULONG *)irp->AssociatedIrp.SystemBuffer;
    switch (s->Parameters.DeviceIoControl.IoControlCode) {
    case TAP_IOCTL_GET_VERSION:
        if (out < 3 * sizeof(ULONG))
            break;
        buf[0] = DRIVER_MAJOR;
        buf[1] = DRIVER_MINOR;
        buf[2] = 0;
        return Complete(irp, STATUS_SUCCESS, 3 * sizeof(ULONG));
    case TAP_IOCTL_GET_MTU:
        if (out < sizeof(ULONG))
            break;
        buf[0] = 1500;
        return Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
    case TAP_IOCTL_SET_MEDIA_STATUS:
        if (in < sizeof(ULONG))
            break;
        g->state.media = buf[0] ? 1 : 0;
        return Complete(irp, STATUS_SUCCESS, sizeof(ULONG) <= out ? sizeof(ULONG) : 0);
    case TAP_IOCTL_CONFIG_TUN:
        if (in < 3 * sizeof(ULONG))
            break;
        RtlCopyMemory(g->state.tun, buf, sizeof g->state.tun);
        return Complete(irp, STATUS_SUCCESS, out >= 3 * sizeof(ULONG) ? 3 * sizeof(ULONG) : 0);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS PumpControl(PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    ULONG in = s->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
    void *buf = irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    LONG n;
    switch (s->Parameters.DeviceIoControl.IoControlCode) {
    case PUMP_IOCTL_TAKE:
        IoAcquireCancelSpinLock(&irql);
        n = RingPop(&g->fromClient, buf, out);
        IoReleaseCancelSpinLock(irql);
        return Complete(irp, STATUS_SUCCESS, n < 0 ? 0 : (ULONG_PTR)n);
    case PUMP_IOCTL_PUT:
        IoAcquireCancelSpinLock(&irql);
        RingPush(&g->toClient, buf, in);
        IoReleaseCancelSpinLock(irql);
        ServeReads();
        return Complete(irp, STATUS_SUCCESS, 0);
    case PUMP_IOCTL_STATE:
        if (out < sizeof g->state)
            break;
        g->state.dropped = g->toClient.dropped + g->fromClient.dropped;
        RtlCopyMemory(buf, &g->state, sizeof g->state);
        return Complete(irp, STATUS_SUCCESS, sizeof g->state);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS Dispatch(PDEVICE_OBJECT dev, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    int tap = dev == g->tap;
    switch (s->MajorFunction) {
    case IRP_MJ_CREATE:
        /* The first opener owns the adapter; later ones are refused, though
           Wine's device host hands out their handles all the same. */
        if (tap && g->owner)
            return Complete(irp, STATUS_ACCESS_DENIED, 0);
        if (tap) {
            g->owner = s->FileObject;
            g->state.opens++;
        }
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
        if (tap && s->FileObject == g->owner)
            DropReads();
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
        /* Wine sends only the close when the last handle goes. */
        if (tap && s->FileObject == g->owner) {
            DropReads();
            g->owner = NULL;
            g->state.media = 0;
        }
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_READ:
        return tap ? TapRead(irp) : Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    case IRP_MJ_WRITE:
        return tap ? TapWrite(irp) : Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    case IRP_MJ_DEVICE_CONTROL:
        return tap ? TapControl(irp) : PumpControl(irp);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* The adapter's GUID text ("{...}") from the service key's value "AdapterGuid". */
static NTSTATUS ReadGuid(PUNICODE_STRING registryPath, PUNICODE_STRING guid)
{
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof table);
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = L"AdapterGuid";
    table[0].EntryContext = guid;
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, registryPath->Buffer, table, NULL, NULL);
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT drv, PUNICODE_STRING registryPath)
{
    UNICODE_STRING tapName, pumpName, guid;
    NTSTATUS st;
    g = ExAllocatePoolWithTag(NonPagedPool, sizeof *g, POOL_TAG);
    if (!g)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(g, sizeof *g);
    InitializeListHead(&g->pendingReads);
    RtlInitUnicodeString(&guid, NULL);
    st = ReadGuid(registryPath, &guid);
    if (!NT_SUCCESS(st))
        goto fail;
    RtlInitEmptyUnicodeString(&g->tapLink, g->tapLinkText, sizeof g->tapLinkText);
    RtlAppendUnicodeToString(&g->tapLink, L"\\DosDevices\\");
    RtlAppendUnicodeStringToString(&g->tapLink, &guid);
    RtlAppendUnicodeToString(&g->tapLink, L".tap");
    RtlFreeUnicodeString(&guid);
    RtlInitUnicodeString(&tapName, L"\\Device\\TlxTap0");
    RtlInitUnicodeString(&pumpName, L"\\Device\\TlxTapPump");
    RtlInitUnicodeString(&g->pumpLink, L"\\DosDevices\\TlxTapPump");
    st = IoCreateDevice(drv, 0, &tapName, FILE_DEVICE_UNKNOWN, 0, TRUE, &g->tap);
    if (!NT_SUCCESS(st))
        goto fail;
    st = IoCreateDevice(drv, 0, &pumpName, FILE_DEVICE_UNKNOWN, 0, FALSE, &g->pump);
    if (!NT_SUCCESS(st))
        goto fail_tap;
    g->tap->Flags |= DO_BUFFERED_IO;
    st = IoCreateSymbolicLink(&g->tapLink, &tapName);
    if (!NT_SUCCESS(st))
        goto fail_pump;
    st = IoCreateSymbolicLink(&g->pumpLink, &pumpName);
    if (!NT_SUCCESS(st)) {
        IoDeleteSymbolicLink(&g->tapLink);
        goto fail_pump;
    }
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        drv->MajorFunction[i] = Dispatch;
    /* No unload routine: Wine's device host stops a driver that has one
       about a second after starting it. The driver lives as long as the
       prefix's server. */
    return STATUS_SUCCESS;
fail_pump:
    IoDeleteDevice(g->pump);
fail_tap:
    IoDeleteDevice(g->tap);
fail:
    ExFreePoolWithTag(g, POOL_TAG);
    g = NULL;
    return st;
}
