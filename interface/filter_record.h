// The host interface that the plug-in and every host compile against: the
// filter record, the selectors, the callbacks, the scripting suites and the
// result codes. Field names are the image editor's own; types are fixed-width
// so that one header serves the plug-in, the test host and the command-line host.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int16_t OSErr;
typedef uint8_t Boolean;
typedef char* Ptr;
// A handle points at a master record whose first field points at the data, so
// that one dereference reaches the data.
typedef char** Handle;

// ---------------------------------------------------------------------------
// Result codes
enum {
  noErr = 0,
  dskFulErr = -34,    // disk full
  ioErr = -36,        // input/output error (also a sharing violation)
  bdNamErr = -37,     // bad file name
  eofErr = -39,       // end of file
  posErr = -40,       // position before the start of the file
  tmfoErr = -42,      // too many files open
  fnfErr = -43,       // file not found
  fLckdErr = -45,     // file locked (held by another opener)
  vLckdErr = -46,     // volume locked (mounted read-only)
  opWrErr = -49,      // file already open for writing
  rfNumErr = -51,     // bad file reference
  permErr = -54,      // permission to open refused
  wrPermErr = -61,    // write permission refused
  memFullErr = -108,  // out of memory
  nilHandleErr = -109,
  userCanceledErr = -128,
  notAFileErr = -1302,  // a file's name names something else (a symbolic link)
  filterBadParameters = -30100
};

// ---------------------------------------------------------------------------
// Selectors
enum {
  filterSelectorAbout = 0,
  filterSelectorParameters = 1,
  filterSelectorPrepare = 2,
  filterSelectorStart = 3,
  filterSelectorContinue = 4,
  filterSelectorFinish = 5
};

// Image modes
enum {
  plugInModeGrayScale = 1,
  plugInModeRGBColor = 3,
  plugInModeGray16 = 10,
  plugInModeRGB48 = 11
};

// playInfo / recordInfo
enum { plugInDialogOptional = 0, plugInDialogDisplay = 1, plugInDialogSilent = 2 };

typedef struct Rect {
  int16_t top;
  int16_t left;
  int16_t bottom;
  int16_t right;
} Rect;

typedef struct Point {
  int16_t v;
  int16_t h;
} Point;

// ---------------------------------------------------------------------------
// Callbacks. They take no context: the host knows which run is current.
typedef OSErr (*AdvanceStateProc)(void);
typedef void (*ProgressProc)(int32_t done, int32_t total);
typedef Boolean (*TestAbortProc)(void);

// ---------------------------------------------------------------------------
// Handle suite
typedef Handle (*NewPIHandleProc)(int32_t size);
typedef void (*DisposePIHandleProc)(Handle h);
typedef int32_t (*GetPIHandleSizeProc)(Handle h);
typedef OSErr (*SetPIHandleSizeProc)(Handle h, int32_t newSize);
typedef Ptr (*LockPIHandleProc)(Handle h, Boolean moveHigh);
typedef void (*UnlockPIHandleProc)(Handle h);

typedef struct HandleProcs {
  int16_t handleProcsVersion;  // 1
  int16_t numHandleProcs;
  NewPIHandleProc newProc;
  DisposePIHandleProc disposeProc;
  GetPIHandleSizeProc getSizeProc;
  SetPIHandleSizeProc setSizeProc;
  LockPIHandleProc lockProc;
  UnlockPIHandleProc unlockProc;
} HandleProcs;

// ---------------------------------------------------------------------------
// Scripting: descriptors and their read and write suites
typedef uint32_t DescriptorKeyID;
typedef uint32_t DescType;
typedef uint32_t DescriptorEnumID;
typedef uint32_t DescriptorUnitID;
typedef DescriptorKeyID* DescriptorKeyIDArray;  // ends with a 0 key
typedef Handle PIDescriptorHandle;
typedef struct PIOpaqueReadDescriptor* PIReadDescriptor;
typedef struct PIOpaqueWriteDescriptor* PIWriteDescriptor;

typedef PIReadDescriptor (*OpenReadDescriptorProc)(PIDescriptorHandle, DescriptorKeyIDArray);
typedef OSErr (*CloseReadDescriptorProc)(PIReadDescriptor);
typedef Boolean (*GetKeyProc)(PIReadDescriptor, DescriptorKeyID* key, DescType* type,
                              int32_t* flags);
typedef OSErr (*GetIntegerProc)(PIReadDescriptor, int32_t* value);
typedef OSErr (*GetFloatProc)(PIReadDescriptor, double* value);
typedef OSErr (*GetUnitFloatProc)(PIReadDescriptor, DescriptorUnitID* unit, double* value);
typedef OSErr (*GetBooleanProc)(PIReadDescriptor, Boolean* value);
typedef OSErr (*GetTextProc)(PIReadDescriptor, Handle* value);
typedef OSErr (*GetAliasProc)(PIReadDescriptor, Handle* value);
typedef OSErr (*GetEnumeratedProc)(PIReadDescriptor, DescriptorEnumID* value);
typedef OSErr (*GetClassProc)(PIReadDescriptor, DescType* value);
typedef OSErr (*GetSimpleReferenceProc)(PIReadDescriptor, void* value);
typedef OSErr (*GetObjectProc)(PIReadDescriptor, DescType* type, PIDescriptorHandle* value);
typedef OSErr (*GetCountProc)(PIReadDescriptor, uint32_t* value);
typedef OSErr (*GetStringProc)(PIReadDescriptor, unsigned char* str255);
typedef OSErr (*GetPinnedIntegerProc)(PIReadDescriptor, int32_t min, int32_t max, int32_t* value);
typedef OSErr (*GetPinnedFloatProc)(PIReadDescriptor, const double* min, const double* max,
                                    double* value);
typedef OSErr (*GetPinnedUnitFloatProc)(PIReadDescriptor, const double* min, const double* max,
                                        DescriptorUnitID* unit, double* value);

typedef struct ReadDescriptorProcs {
  int16_t readDescriptorProcsVersion;
  int16_t numReadDescriptorProcs;  // 18
  OpenReadDescriptorProc openReadDescriptorProc;
  CloseReadDescriptorProc closeReadDescriptorProc;
  GetKeyProc getKeyProc;
  GetIntegerProc getIntegerProc;
  GetFloatProc getFloatProc;
  GetUnitFloatProc getUnitFloatProc;
  GetBooleanProc getBooleanProc;
  GetTextProc getTextProc;
  GetAliasProc getAliasProc;
  GetEnumeratedProc getEnumeratedProc;
  GetClassProc getClassProc;
  GetSimpleReferenceProc getSimpleReferenceProc;
  GetObjectProc getObjectProc;
  GetCountProc getCountProc;
  GetStringProc getStringProc;
  GetPinnedIntegerProc getPinnedIntegerProc;
  GetPinnedFloatProc getPinnedFloatProc;
  GetPinnedUnitFloatProc getPinnedUnitFloatProc;
} ReadDescriptorProcs;

typedef PIWriteDescriptor (*OpenWriteDescriptorProc)(void);
typedef OSErr (*CloseWriteDescriptorProc)(PIWriteDescriptor, PIDescriptorHandle* newDescriptor);
typedef OSErr (*PutIntegerProc)(PIWriteDescriptor, DescriptorKeyID, int32_t);
typedef OSErr (*PutFloatProc)(PIWriteDescriptor, DescriptorKeyID, const double*);
typedef OSErr (*PutUnitFloatProc)(PIWriteDescriptor, DescriptorKeyID, DescriptorUnitID,
                                  const double*);
typedef OSErr (*PutBooleanProc)(PIWriteDescriptor, DescriptorKeyID, Boolean);
typedef OSErr (*PutTextProc)(PIWriteDescriptor, DescriptorKeyID, Handle);
typedef OSErr (*PutAliasProc)(PIWriteDescriptor, DescriptorKeyID, Handle);
typedef OSErr (*PutEnumeratedProc)(PIWriteDescriptor, DescriptorKeyID key, DescType type,
                                   DescriptorEnumID value);
typedef OSErr (*PutClassProc)(PIWriteDescriptor, DescriptorKeyID, DescType);
typedef OSErr (*PutSimpleReferenceProc)(PIWriteDescriptor, DescriptorKeyID, const void*);
typedef OSErr (*PutObjectProc)(PIWriteDescriptor, DescriptorKeyID, DescType, PIDescriptorHandle);
typedef OSErr (*PutCountProc)(PIWriteDescriptor, DescriptorKeyID, uint32_t);
typedef OSErr (*PutStringProc)(PIWriteDescriptor, DescriptorKeyID, const unsigned char* str255);
typedef OSErr (*PutScopedClassProc)(PIWriteDescriptor, DescriptorKeyID, DescType);
typedef OSErr (*PutScopedObjectProc)(PIWriteDescriptor, DescriptorKeyID, DescType,
                                     PIDescriptorHandle);

typedef struct WriteDescriptorProcs {
  int16_t writeDescriptorProcsVersion;
  int16_t numWriteDescriptorProcs;  // 16
  OpenWriteDescriptorProc openWriteDescriptorProc;
  CloseWriteDescriptorProc closeWriteDescriptorProc;
  PutIntegerProc putIntegerProc;
  PutFloatProc putFloatProc;
  PutUnitFloatProc putUnitFloatProc;
  PutBooleanProc putBooleanProc;
  PutTextProc putTextProc;
  PutAliasProc putAliasProc;
  PutEnumeratedProc putEnumeratedProc;
  PutClassProc putClassProc;
  PutSimpleReferenceProc putSimpleReferenceProc;
  PutObjectProc putObjectProc;
  PutCountProc putCountProc;
  PutStringProc putStringProc;
  PutScopedClassProc putScopedClassProc;
  PutScopedObjectProc putScopedObjectProc;
} WriteDescriptorProcs;

typedef struct PIDescriptorParameters {
  int16_t descriptorParametersVersion;  // 0
  int16_t playInfo;
  int16_t recordInfo;
  PIDescriptorHandle descriptor;
  WriteDescriptorProcs* writeDescriptorProcs;
  ReadDescriptorProcs* readDescriptorProcs;
} PIDescriptorParameters;

// ---------------------------------------------------------------------------
// Document and platform information

// The document being filtered. fileSpec is the document's file path, or null
// (or empty) when the document has never been saved.
typedef struct ReadImageDocumentDesc {
  int32_t minVersion;
  int32_t maxVersion;
  const char* fileSpec;
} ReadImageDocumentDesc;

// The first field is the window that owns the plug-in's dialogs (an HWND on
// Windows; unused on POSIX).
typedef struct PlatformData {
  intptr_t hwnd;
} PlatformData;

// ---------------------------------------------------------------------------
// The filter record
typedef struct FilterRecord {
  int32_t serialNumber;
  TestAbortProc abortProc;
  ProgressProc progressProc;
  Handle parameters;  // created by the plug-in, kept by the host

  Point imageSize;  // the whole image: v = height, h = width
  int16_t planes;   // samples per pixel delivered, colour planes first
  Rect filterRect;  // the area to filter, in image coordinates

  uint8_t background[4];
  uint8_t foreground[4];
  int32_t maxSpace;
  int32_t bufferSpace;  // written at filterSelectorPrepare

  Rect inRect;  // requested input rows (all zero: nothing)
  int16_t inLoPlane;
  int16_t inHiPlane;
  Rect outRect;  // requested output rows
  int16_t outLoPlane;
  int16_t outHiPlane;

  void* inData;  // the requested rows, interleaved samples from the first byte
  int32_t inRowBytes;
  void* outData;
  int32_t outRowBytes;

  Boolean isFloating;
  Boolean haveMask;  // a selection mask is supplied
  Boolean autoMask;
  Rect maskRect;  // requested mask rows
  void* maskData;
  int32_t maskRowBytes;

  uint8_t backColor[4];  // background colour in the image's own colour space
  uint8_t foreColor[4];
  uint32_t hostSig;
  int16_t imageMode;  // plugInModeGrayScale, RGBColor, Gray16, RGB48
  PlatformData* platformData;
  HandleProcs* handleProcs;
  AdvanceStateProc advanceState;
  int32_t depth;  // bits per channel: 8 or 16
  ReadImageDocumentDesc* documentInfo;
  PIDescriptorParameters* descriptorParameters;
} FilterRecord;

// The plug-in's one export.
#if defined(_WIN32)
#define SHARPSTACK_EXPORT __declspec(dllexport)
#else
#define SHARPSTACK_EXPORT __attribute__((visibility("default")))
#endif

typedef void (*EntryPointProc)(int16_t selector, FilterRecord* filterRecord, intptr_t* data,
                               int16_t* result);

SHARPSTACK_EXPORT void ENTRYPOINT(int16_t selector, FilterRecord* filterRecord, intptr_t* data,
                                  int16_t* result);

#ifdef __cplusplus
}
#endif
