#pragma once

// The DBX statuses: every code the editor's library returns, its name here and its one-line text,
// in one table. The status texts, the transfer, the stand-in library and the tests' fake library
// all take their codes from it.

#include <cstdint>
#include <iterator>

#include "dbx/records.h"

// X(NAME, CODE, TEXT) for each status, sorted by code.
#define BITLAY_DBX_STATUSES(X)                                             \
    X(kOk, 0, u"Status: OK")                                               \
    X(kConnectionError, 32001, u"Connection Error")                        \
    X(kDisconnectError, 32002, u"Disconnect Error")                        \
    X(kBadServerData, 32003, u"Bad Server Data")                           \
    X(kServerError, 32004, u"Server Error")                                \
    X(kFatalDbxError, 32005, u"Fatal DBX Error")                           \
    X(kVersionIncompatible, 32006, u"Version Incompatible")                \
    X(kClientError, 32007, u"Client Error")                                \
    X(kSecurityError, 32008, u"Security Error")                            \
    X(kFlipError, 32009, u"Flip Error")                                    \
    X(kRotateError, 32010, u"Rotate Error")                                \
    X(kMoveError, 32011, u"Move Error")                                    \
    X(kHighlightError, 32012, u"Highlight Error")                          \
    X(kDeleteError, 32013, u"Delete Error")                                \
    X(kModifyError, 32014, u"Modify Error")                                \
    X(kCreateError, 32015, u"Create Error")                                \
    X(kDatabaseError, 32016, u"Database Error")                            \
    X(kInvalidConvHandle, 32101, u"Invalid Conv Handle")                   \
    X(kServerTerminated, 32102, u"Server Terminated")                      \
    X(kLowMemory, 32103, u"Low Memory")                                    \
    X(kAlreadyConnected, 32104, u"Already Connected")                      \
    X(kNoConnection, 32105, u"No Connection")                              \
    X(kServerBusy, 32106, u"Server Busy")                                  \
    X(kIllegalOperation, 32121, u"Illegal Operation")                      \
    X(kBadInput, 32122, u"Bad Input")                                      \
    X(kArrayTooSmall, 32123, u"Array Too Small")                           \
    X(kInvalidItemId, 32124, u"Invalid Item ID")                           \
    X(kItemNotFound, 32141, u"Item Not Found")                             \
    X(kItemNotSupported, 32142, u"Item Not Supported")                     \
    X(kIllegalItem, 32143, u"Illegal Item")                                \
    X(kShapeNotDefined, 32144, u"Shape Not Defined")                       \
    X(kGetFirstNotCalled, 32145, u"GetFirst Not Called")                   \
    X(kGetCompNotCalled, 32146, u"GetComp Not Called")                     \
    X(kGetNetNotCalled, 32147, u"GetNet Not Called")                       \
    X(kNoMoreLayers, 32161, u"No More Layers")                             \
    X(kNoMoreNets, 32162, u"No More Nets")                                 \
    X(kNoMoreItems, 32163, u"No More Items")                               \
    X(kNoMoreNetClasses, 32164, u"No More Net Classes")                    \
    X(kNoMoreClassToClassRules, 32165, u"No More Class To Class Rules")    \
    X(kNoMoreRooms, 32166, u"No More Rooms")                               \
    X(kNoMoreRoomPoints, 32167, u"No More Room Points")                    \
    X(kNoMoreComponents, 32168, u"No More Components")                     \
    X(kInvalidAngle, 32170, u"Invalid Angle")                              \
    X(kInvalidHighlightColor, 32171, u"Invalid Highlight Color")           \
    X(kInvalidItemType, 32172, u"Invalid Item Type")                       \
    X(kInvalidJustification, 32173, u"Invalid Justification")              \
    X(kInvalidLayer, 32174, u"Invalid Layer")                              \
    X(kInvalidLocation, 32175, u"Invalid Location")                        \
    X(kInvalidNetId, 32176, u"Invalid Net Id")                             \
    X(kInvalidNetname, 32177, u"Invalid Netname")                          \
    X(kInvalidPadstyle, 32178, u"Invalid Padstyle")                        \
    X(kInvalidRadius, 32180, u"Invalid Radius")                            \
    X(kInvalidRefdes, 32181, u"Invalid Refdes")                            \
    X(kInvalidRotationAngle, 32182, u"Invalid Rotation Angle")             \
    X(kInvalidTextStyle, 32183, u"Invalid TextStyle")                      \
    X(kInvalidWidth, 32184, u"Invalid Width")                              \
    X(kInvalidLayerName, 32185, u"Invalid Layer Name")                     \
    X(kInvalidComponentName, 32186, u"Invalid Component Name")             \
    X(kMismatchedPartNumbers, 32187, u"Mismatched Part Numbers")           \
    X(kMismatchedPinNumbers, 32188, u"Mismatched Pin Numbers")             \
    X(kMismatchedComponentType, 32189, u"Mismatched Component Type")       \
    X(kMismatchedHetero, 32190, u"Mismatched Hetero")                      \
    X(kInvalidLineStyle, 32191, u"Invalid Line Style")                     \
    X(kInvalidPinLength, 32192, u"Invalid Pin Length")                     \
    X(kInvalidPinStyle, 32193, u"Invalid Pin Style")                       \
    X(kInvalidAltType, 32194, u"Invalid Alt Type")                         \
    X(kInvalidNetClassName, 32195, u"Invalid Net Class Name")              \
    X(kInvalidClassToClassId, 32196, u"Invalid Class To Class Id")         \
    X(kInvalidNetClassId, 32197, u"Invalid Net Class Id")                  \
    X(kInvalidLayerId, 32198, u"Invalid Layer Id")                         \
    X(kInvalidRoomName, 32199, u"Invalid Room Name")                       \
    X(kInvalidAttributeValue, 32200, u"Invalid Attribute Value")           \
    X(kInvalidAttributeName, 32201, u"Invalid Attribute Name")             \
    X(kDuplicateAttribute, 32205, u"Duplicate Attribute")                  \
    X(kDuplicateNetname, 32206, u"Duplicate Netname")                      \
    X(kDuplicateNetClassName, 32207, u"Duplicate Net Class Name")          \
    X(kDuplicateClassToClassName, 32208, u"Duplicate Class To Class Name") \
    X(kDuplicateRefdes, 32209, u"Duplicate Refdes")                        \
    X(kComponentNotFound, 32215, u"Component Not Found")                   \
    X(kLayerNotFound, 32216, u"Layer Not Found")                           \
    X(kNetNotFound, 32217, u"Net Not Found")                               \
    X(kNetNotEmpty, 32218, u"Net Not Empty")                               \
    X(kNetExists, 32219, u"Net Exists")                                    \
    X(kNetConflict, 32220, u"Net Conflict")                                \
    X(kNetClassNotFound, 32221, u"Net Class Not Found")                    \
    X(kNetClassNotEmpty, 32222, u"Net Class Not Empty")                    \
    X(kNetClassExists, 32223, u"Net Class Exists")                         \
    X(kClassToClassNotFound, 32224, u"Class To Class Not Found")           \
    X(kRoomNotFound, 32225, u"Room Not Found")                             \
    X(kPointNotFound, 32226, u"Point Not Found")                           \
    X(kComponentCacheConflict, 32230, u"Component Cache Conflict")         \
    X(kLibraryNotOpen, 32231, u"Library Not Open")                         \
    X(kItemOutsideWorkspace, 32232, u"Item Outside Workspace")             \
    X(kNoAttachedPattern, 32233, u"No Attached Pattern")                   \
    X(kTooFewPins, 32234, u"Too Few Pins")                                 \
    X(kPindesNotFound, 32235, u"Pindes Not Found")                         \
    X(kNameTooLong, 32236, u"Name Too Long")                               \
    X(kPrintJobNotFound, 32237, u"Print Job Not Found")                    \
    X(kNoPrintJobsSelected, 32238, u"No Print Jobs Selected")              \
    X(kUnableToOpenFile, 32239, u"Unable to open file")                    \
    X(kInvalidLibraryName, 32250, u"Invalid Library Name")                 \
    X(kUnableToOpenLibrary, 32251, u"Unable to open Library")              \
    X(kComponentAlreadyOpen, 32252, u"Component Already Open")             \
    X(kOpenComponentNotCalled, 32253, u"Open Component Not Called")        \
    X(kSaveComponentFailed, 32254, u"Save Component Failed")               \
    X(kLibraryIsReadOnly, 32255, u"Library is READ Only")                  \
    X(kSaveSymbolFailed, 32256, u"Save Symbol Failed")                     \
    X(kSavePatternFailed, 32257, u"Save Pattern Failed")                   \
    X(kInternalParameterError, 32258, u"Internal Parameter Error")         \
    X(kInvalidPinNumber, 32279, u"Invalid Pin Number")

namespace bitlay::dbx::status {

#define BITLAY_DBX_STATUS_CONSTANT(name, code, text) inline constexpr DbxStatusCode name = code;
BITLAY_DBX_STATUSES(BITLAY_DBX_STATUS_CONSTANT)
#undef BITLAY_DBX_STATUS_CONSTANT

struct Entry final {
    DbxStatusCode code;
    const char16_t* text;
};

#define BITLAY_DBX_STATUS_ENTRY(name, code, text) Entry{code, text},
inline constexpr Entry kTable[] = {BITLAY_DBX_STATUSES(BITLAY_DBX_STATUS_ENTRY)};
#undef BITLAY_DBX_STATUS_ENTRY
static_assert(std::size(kTable) == 110);

}  // namespace bitlay::dbx::status
