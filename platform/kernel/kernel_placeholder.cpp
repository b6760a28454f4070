// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "platform/kernel.h"
#include <cstdlib>
#include <cstring>
PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T n, ULONG) { return std::malloc(n); }
VOID ExFreePool(PVOID p) { std::free(p); }
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER) { return STATUS_SUCCESS; }
VOID KeInitializeEvent(PRKEVENT, EVENT_TYPE, BOOLEAN) {}
LONG KeSetEvent(PRKEVENT, LONG, BOOLEAN) { return 0; }
NTSTATUS KeWaitForSingleObject(PVOID, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER) { return STATUS_SUCCESS; }
PIRP IoBuildSynchronousFsdRequest(ULONG, PDEVICE_OBJECT, PVOID, ULONG, PLARGE_INTEGER, PKEVENT, PIO_STATUS_BLOCK) { return nullptr; }
NTSTATUS IofCallDriver(PDEVICE_OBJECT, PIRP) { return STATUS_NOT_SUPPORTED; }
VOID IofCompleteRequest(PIRP, CHAR) {}
VOID RtlInitUnicodeString(PUNICODE_STRING d, PCWSTR s) { size_t n = 0; while (s && s[n]) ++n; d->Buffer = const_cast<PWSTR>(s); d->Length = (USHORT)(n * 2); d->MaximumLength = (USHORT)(n * 2 + 2); }
SIZE_T RtlCompareMemory(const VOID* a, const VOID* b, SIZE_T n) { SIZE_T i = 0; while (i < n && ((const UCHAR*)a)[i] == ((const UCHAR*)b)[i]) ++i; return i; }
NTSTATUS KeSaveFloatingPointState(PKFLOATING_SAVE) { return STATUS_SUCCESS; }
NTSTATUS KeRestoreFloatingPointState(PKFLOATING_SAVE) { return STATUS_SUCCESS; }
NTSTATUS KeSaveExtendedProcessorState(ULONG64, PXSTATE_SAVE) { return STATUS_SUCCESS; }
VOID KeRestoreExtendedProcessorState(PXSTATE_SAVE) {}
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT, ULONG, ACCESS_MASK, PHANDLE) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZwCreateKey(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG, PUNICODE_STRING, ULONG, PULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZwQueryValueKey(HANDLE, PUNICODE_STRING, KEY_VALUE_INFORMATION_CLASS, PVOID, ULONG, PULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZwSetValueKey(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZwClose(HANDLE) { return STATUS_SUCCESS; }
NTSTATUS ZwCreateFile(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZwWriteFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, PLARGE_INTEGER, PULONG) { return STATUS_NOT_IMPLEMENTED; }
