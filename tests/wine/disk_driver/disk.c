/* A raw disk: reads and writes as disk.sys and classpnp check them, the
 * device controls the helper sends, and Windows' share rules at open. */
#include "whdisk.h"

#define IOCTL_DISK_GET_LENGTH_INFO 0x0007405C
#define IOCTL_DISK_GET_DRIVE_GEOMETRY_EX 0x000700A0
#define IOCTL_DISK_GET_DISK_ATTRIBUTES 0x000700F0
#define IOCTL_DISK_UPDATE_PROPERTIES 0x00070140
#define IOCTL_STORAGE_QUERY_PROPERTY 0x002D1400
#define DISK_ATTRIBUTE_READ_ONLY 0x2

typedef struct {
  ULONG version;
  ULONG reserved;
  ULONGLONG attributes;
} DiskAttributes; /* GET_DISK_ATTRIBUTES */

typedef struct {
  LARGE_INTEGER cylinders;
  ULONG media_type;
  ULONG tracks_per_cylinder;
  ULONG sectors_per_track;
  ULONG bytes_per_sector;
  LARGE_INTEGER disk_size;
} Geometry; /* DISK_GEOMETRY_EX up to its Data */

/* How an open counts, kept in its FILE_OBJECT until the handle is closed. */
#define OPEN_SHARED ((PVOID)1)
#define OPEN_EXCLUSIVE ((PVOID)2)
#define OPEN_REFUSED ((PVOID)3)

static NTSTATUS open_disk(Disk* disk, PIO_STACK_LOCATION stack) {
  const ULONG both = FILE_SHARE_READ | FILE_SHARE_WRITE;
  const BOOLEAN exclusive = (stack->Parameters.Create.ShareAccess & both) != both;
  if (disk->exclusive_opens > 0 || (exclusive && disk->opens > 0)) {
    stack->FileObject->FsContext2 = OPEN_REFUSED;
    return STATUS_SHARING_VIOLATION;
  }
  ++disk->opens;
  if (exclusive) ++disk->exclusive_opens;
  stack->FileObject->FsContext2 = exclusive ? OPEN_EXCLUSIVE : OPEN_SHARED;
  return STATUS_SUCCESS;
}

/* Cleanup and close both end an open; whichever comes first counts. */
static void close_disk(Disk* disk, PFILE_OBJECT file) {
  if (file == NULL || (file->FsContext2 != OPEN_SHARED && file->FsContext2 != OPEN_EXCLUSIVE)) return;
  --disk->opens;
  if (file->FsContext2 == OPEN_EXCLUSIVE) --disk->exclusive_opens;
  file->FsContext2 = NULL;
}

/* The configured bytes in place of the stored ones, where the read overlaps them. */
static void corrupt(const Disk* disk, ULONGLONG offset, PUCHAR buffer, ULONG length) {
  ULONGLONG at;
  for (at = disk->corrupt_offset; at < disk->corrupt_offset + disk->corrupt_size; ++at) {
    if (at >= offset && at < offset + length) buffer[at - offset] = disk->corrupt_bytes[at - disk->corrupt_offset];
  }
}

/* Since Windows Vista a raw write into a volume whose file system is
 * mounted fails unless the volume is locked or dismounted (and under Wine
 * no lock reaches a volume: volume.c). */
static BOOLEAN guarded_by_volume(const Disk* disk, ULONGLONG offset, ULONG length) {
  ULONG i;
  for (i = 0; i < MAX_VOLUMES; ++i) {
    const Volume* volume = volumes[i];
    if (volume == NULL || volume->disk != disk->number || !volume->mounted) continue;
    if (offset < volume->offset + volume->length && volume->offset < offset + length) return TRUE;
  }
  return FALSE;
}

/* Zeros past the backing file's end are what the disk reads there already:
 * not storing them keeps a large disk's backing file sparse. */
static BOOLEAN zeros_past_stored_end(const Disk* disk, ULONGLONG offset, const UCHAR* buffer, ULONG length) {
  ULONG at;
  if (offset < disk->stored) return FALSE;
  for (at = 0; at < length; ++at) {
    if (buffer[at] != 0) return FALSE;
  }
  return TRUE;
}

/* disk.sys and classpnp: whole sectors or STATUS_INVALID_PARAMETER; a
 * transfer not inside the disk is refused by the device and reported as
 * STATUS_NONEXISTENT_SECTOR; a write to a write-protected medium fails with
 * STATUS_MEDIA_WRITE_PROTECTED. */
static NTSTATUS transfer(Disk* disk, PIRP irp, PIO_STACK_LOCATION stack) {
  const BOOLEAN write = stack->MajorFunction == IRP_MJ_WRITE;
  LARGE_INTEGER offset = write ? stack->Parameters.Write.ByteOffset : stack->Parameters.Read.ByteOffset;
  const ULONG length = write ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
  IO_STATUS_BLOCK io;
  NTSTATUS status;
  PUCHAR buffer;

  if (write && disk->read_only) return complete(irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
  if (offset.QuadPart < 0 || offset.QuadPart % disk->sector != 0 || length % disk->sector != 0) {
    return complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  if (length == 0) return complete(irp, STATUS_SUCCESS, 0);
  if ((ULONGLONG)offset.QuadPart >= disk->length || length > disk->length - (ULONGLONG)offset.QuadPart) {
    return complete(irp, STATUS_NONEXISTENT_SECTOR, 0);
  }
  if (write && guarded_by_volume(disk, (ULONGLONG)offset.QuadPart, length)) {
    return complete(irp, STATUS_ACCESS_DENIED, 0);
  }
  buffer = irp->MdlAddress ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority) : NULL;
  if (buffer == NULL) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  if (write) {
    const ULONGLONG end = (ULONGLONG)offset.QuadPart + length;
    if (zeros_past_stored_end(disk, (ULONGLONG)offset.QuadPart, buffer, length)) {
      return complete(irp, STATUS_SUCCESS, length);
    }
    status = ZwWriteFile(disk->file, NULL, NULL, NULL, &io, buffer, length, &offset, NULL);
    if (NT_SUCCESS(status) && end > disk->stored) disk->stored = end;
    return complete(irp, status, NT_SUCCESS(status) ? length : 0);
  }
  status = ZwReadFile(disk->file, NULL, NULL, NULL, &io, buffer, length, &offset, NULL);
  if (status == STATUS_END_OF_FILE) {
    io.Information = 0;
    status = STATUS_SUCCESS;
  }
  if (!NT_SUCCESS(status)) return complete(irp, status, 0);
  /* The disk is as long as it says; a shorter backing file reads as zeros. */
  if (io.Information < length) RtlZeroMemory(buffer + io.Information, length - io.Information);
  corrupt(disk, (ULONGLONG)offset.QuadPart, buffer, length);
  return complete(irp, STATUS_SUCCESS, length);
}

static NTSTATUS control(Disk* disk, PIRP irp, PIO_STACK_LOCATION stack) {
  PVOID reply = irp->AssociatedIrp.SystemBuffer;
  const ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_DISK_GET_LENGTH_INFO:
      if (room < sizeof(LONGLONG)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      *(LONGLONG*)reply = (LONGLONG)disk->length;
      return complete(irp, STATUS_SUCCESS, sizeof(LONGLONG));
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: {
      /* As disk.sys: the made-up cylinders of 255 heads by 63 sectors, and
       * the logical sector size the helper aligns every transfer to. */
      Geometry geometry;
      RtlZeroMemory(&geometry, sizeof geometry);
      geometry.cylinders.QuadPart = (LONGLONG)(disk->length / (255ull * 63 * disk->sector));
      geometry.media_type = 11; /* RemovableMedia */
      geometry.tracks_per_cylinder = 255;
      geometry.sectors_per_track = 63;
      geometry.bytes_per_sector = disk->sector;
      geometry.disk_size.QuadPart = (LONGLONG)disk->length;
      if (room < sizeof geometry) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      RtlCopyMemory(reply, &geometry, sizeof geometry);
      return complete(irp, STATUS_SUCCESS, sizeof geometry);
    }
    case IOCTL_DISK_GET_DISK_ATTRIBUTES: {
      DiskAttributes attributes = {sizeof attributes, 0, disk->read_only ? DISK_ATTRIBUTE_READ_ONLY : 0};
      if (room < sizeof attributes) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      RtlCopyMemory(reply, &attributes, sizeof attributes);
      return complete(irp, STATUS_SUCCESS, sizeof attributes);
    }
    case IOCTL_STORAGE_QUERY_PROPERTY: {
      /* STORAGE_PROPERTY_QUERY: StorageDeviceProperty, PropertyStandardQuery. */
      const ULONG* query = (const ULONG*)reply;
      ULONG copied;
      if (stack->Parameters.DeviceIoControl.InputBufferLength < 8) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      if (query[0] != 0 || query[1] != 0) return complete(irp, STATUS_NOT_SUPPORTED, 0);
      /* As classpnp: as much of the descriptor as fits, its header first. */
      if (room < 8) return complete(irp, STATUS_INFO_LENGTH_MISMATCH, 0);
      copied = room < disk->descriptor_size ? room : disk->descriptor_size;
      RtlCopyMemory(reply, disk->descriptor, copied);
      return complete(irp, STATUS_SUCCESS, copied);
    }
    case IOCTL_DISK_UPDATE_PROPERTIES:
      /* There is no partition manager behind this disk to tell. */
      return complete(irp, STATUS_SUCCESS, 0);
    default:
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS disk_dispatch(Disk* disk, PIRP irp, PIO_STACK_LOCATION stack) {
  if (stack->MajorFunction == IRP_MJ_CREATE) return complete(irp, open_disk(disk, stack), 0);
  if (stack->MajorFunction == IRP_MJ_CLEANUP || stack->MajorFunction == IRP_MJ_CLOSE) {
    close_disk(disk, stack->FileObject);
    return complete(irp, STATUS_SUCCESS, 0);
  }
  if (stack->FileObject != NULL && stack->FileObject->FsContext2 == OPEN_REFUSED) {
    return complete(irp, STATUS_SHARING_VIOLATION, 0);
  }
  switch (stack->MajorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      return transfer(disk, irp, stack);
    case IRP_MJ_FLUSH_BUFFERS:
      /* The host file is written through by the driver host's own calls. */
      return complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
      return control(disk, irp, stack);
    default:
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}
