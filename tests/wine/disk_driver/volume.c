/* A volume on one of the disks, as a mounted file system answers for it:
 * its disk extents, and the dismount that lets raw writes in. Wine's ntdll
 * answers FSCTL_LOCK_VOLUME and FSCTL_UNLOCK_VOLUME itself, with success,
 * so they never arrive here and a volume cannot be locked under Wine. */
#include "whdisk.h"

#define IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS 0x00560000
#define FSCTL_DISMOUNT_VOLUME 0x00090020

typedef struct {
  ULONG disk_number;
  LARGE_INTEGER starting_offset;
  LARGE_INTEGER extent_length;
} Extent; /* DISK_EXTENT */

typedef struct {
  ULONG count;
  Extent extents[1];
} Extents; /* VOLUME_DISK_EXTENTS */

Volume* volumes[MAX_VOLUMES];

static NTSTATUS control(Volume* volume, PIRP irp, ULONG code, ULONG room) {
  switch (code) {
    case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: {
      Extents* reply = (Extents*)irp->AssociatedIrp.SystemBuffer;
      if (room < sizeof(Extents)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      reply->count = 1;
      reply->extents[0].disk_number = volume->disk;
      reply->extents[0].starting_offset.QuadPart = (LONGLONG)volume->offset;
      reply->extents[0].extent_length.QuadPart = (LONGLONG)volume->length;
      return complete(irp, STATUS_SUCCESS, sizeof(Extents));
    }
    case FSCTL_DISMOUNT_VOLUME:
      /* Forced, as without a lock; the file system is gone until Windows
       * mounts the volume again. (Wine's ntdll then tries to unmount a Unix
       * file system behind the handle and fails with STATUS_BAD_DEVICE_TYPE.) */
      volume->mounted = FALSE;
      return complete(irp, STATUS_SUCCESS, 0);
    default:
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS volume_dispatch(Volume* volume, PIRP irp, PIO_STACK_LOCATION stack) {
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
      return control(volume, irp, stack->Parameters.DeviceIoControl.IoControlCode,
                     stack->Parameters.DeviceIoControl.OutputBufferLength);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      return control(volume, irp, stack->Parameters.FileSystemControl.FsControlCode,
                     stack->Parameters.FileSystemControl.OutputBufferLength);
    default:
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}
