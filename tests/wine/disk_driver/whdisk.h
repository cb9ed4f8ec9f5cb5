/* A stand-in for Windows' disk stack under Wine: disks behind
 * \??\PhysicalDriveN backed by host files, and volumes on them behind
 * \??\Volume{GUID}, answering as disk.sys, classpnp and a mounted file
 * system do. The configuration is read once at load (whdisk.c).
 *
 * What Wine's I/O manager does not do for a driver, this one does itself:
 * share access is kept here (IoCheckShareAccess is missing, and the desired
 * access never arrives, so any open that does not share both reading and
 * writing is exclusive), and the byte offset of every transfer is the
 * caller's OVERLAPPED offset (device handles have no file position). Wine
 * gives the caller its handle whatever the create's status, so an open
 * refused for sharing fails everything later sent through it, with 32. */
#pragma once

#include <ntddk.h>

#define MAX_DISKS 16
#define MAX_VOLUMES 8

enum { KIND_DISK = 1, KIND_VOLUME = 2 };

typedef struct {
  ULONG kind; /* KIND_DISK */
  HANDLE file;
  ULONG number;
  ULONGLONG length;
  ULONG sector; /* logical sector size: transfers are whole sectors of it */
  ULONGLONG stored; /* the backing file's length: past it the disk reads zeros */
  BOOLEAN read_only;
  UCHAR descriptor[512]; /* STORAGE_DEVICE_DESCRIPTOR and its texts */
  ULONG descriptor_size;
  LONG opens;           /* handles open on the disk */
  LONG exclusive_opens; /* of those, handles that share nothing */
  ULONGLONG corrupt_offset;
  UCHAR corrupt_bytes[64];
  ULONG corrupt_size;
} Disk;

typedef struct {
  ULONG kind; /* KIND_VOLUME */
  ULONG index;
  WCHAR link[64]; /* \??\Volume{GUID} */
  ULONG disk;
  ULONGLONG offset;
  ULONGLONG length;
  BOOLEAN mounted; /* until dismounted */
} Volume;

/* Every volume, for the disks' rule on raw writes into mounted volumes. */
extern Volume* volumes[MAX_VOLUMES];

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information);

NTSTATUS disk_dispatch(Disk* disk, PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS volume_dispatch(Volume* volume, PIRP irp, PIO_STACK_LOCATION stack);
