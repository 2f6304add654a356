// linkPorts / unlinkPorts / linkNodesNameToId / unlinkNodesNameToId.
#include "../ArgCheck.h"
#include "../Bindings.h"
#include "../pipewire/PwContext.h"
#include "LinkControl.h"

namespace {

// Throws the Error for a failed status; true when the call may go on.
bool succeeded(LinkStatus status) {
    switch (status) {
        case LinkStatus::Ok:
            return true;
        case LinkStatus::NotConnected:
            Nan::ThrowError("PipeWire not connected");
            break;
        case LinkStatus::NoPortsOrNodes:
            Nan::ThrowError("Could not find matching ports or nodes");
            break;
        case LinkStatus::ProxyFailed:
            Nan::ThrowError("Failed to create link proxy");
            break;
        case LinkStatus::NoMatchingPorts:
            Nan::ThrowError("Could not find matching ports");
            break;
    }
    return false;
}

}  // namespace

NAN_METHOD(linkPorts) {
    if (!checkArgs(info, {ArgKind::Number, ArgKind::Number},
                   "linkPorts requires two port IDs (outputPortId, inputPortId)"))
        return;
    if (succeeded(linkPortsById(getContext(), argUint32(info, 0), argUint32(info, 1)))) info.GetReturnValue().Set(0);
}

NAN_METHOD(unlinkPorts) {
    if (!checkArgs(info, {ArgKind::Number, ArgKind::Number},
                   "unlinkPorts requires two port IDs (outputPortId, inputPortId)"))
        return;
    bool requested = false;
    if (succeeded(unlinkPortsById(getContext(), argUint32(info, 0), argUint32(info, 1), requested)))
        info.GetReturnValue().Set(requested);
}

NAN_METHOD(linkNodesNameToId) {
    if (!checkArgs(info, {ArgKind::String, ArgKind::Number}, "linkNodesNameToId requires (srcNodeName, dstNodeId)"))
        return;
    uint32_t count = 0;
    if (succeeded(linkNodesByName(getContext(), argText(info[0]), argUint32(info, 1), count)))
        info.GetReturnValue().Set(count);
}

NAN_METHOD(unlinkNodesNameToId) {
    if (!checkArgs(info, {ArgKind::String, ArgKind::Number}, "unlinkNodesNameToId requires (srcNodeName, dstNodeId)"))
        return;
    uint32_t count = 0;
    if (succeeded(unlinkNodesByName(getContext(), argText(info[0]), argUint32(info, 1), count)))
        info.GetReturnValue().Set(count);
}
