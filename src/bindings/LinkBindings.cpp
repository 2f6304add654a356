// linkPorts / unlinkPorts / linkNodesNameToId / unlinkNodesNameToId.
#include "../connection/PwContext.h"
#include "../features/links/LinkControl.h"
#include "../features/links/LinkProxies.h"
#include "ArgCheck.h"
#include "Exports.h"
#include "Handoffs.h"

namespace {

const char* const kLinkPortsUsage = "linkPorts requires two port IDs (outputPortId, inputPortId)";

// True for Ok; otherwise throws the status's Error and returns false.
bool okOrThrow(LinkStatus status) {
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
        case LinkStatus::Busy:
            Nan::ThrowError(queueFullMessage().c_str());
            break;
    }
    return false;
}

}  // namespace

NAN_METHOD(linkPorts) {
    if (!checkArgs(info, {ArgKind::Number, ArgKind::Number}, kLinkPortsUsage)) return;
    if (okOrThrow(linkPortsById(getContext(), argUint32(info, 0), argUint32(info, 1)))) info.GetReturnValue().Set(0);
}

NAN_METHOD(unlinkPorts) {
    if (!checkArgs(info, {ArgKind::Number, ArgKind::Number},
                   "unlinkPorts requires two port IDs (outputPortId, inputPortId)"))
        return;
    bool requested = false;
    if (okOrThrow(unlinkPortsById(getContext(), argUint32(info, 0), argUint32(info, 1), requested)))
        info.GetReturnValue().Set(requested);
}

NAN_METHOD(linkNodesNameToId) {
    if (!checkArgs(info, {ArgKind::String, ArgKind::Number}, "linkNodesNameToId requires (srcNodeName, dstNodeId)"))
        return;
    uint32_t count = 0;
    if (okOrThrow(linkNodesByName(getContext(), argText(info[0]), argUint32(info, 1), count)))
        info.GetReturnValue().Set(count);
}

NAN_METHOD(unlinkNodesNameToId) {
    if (!checkArgs(info, {ArgKind::String, ArgKind::Number}, "unlinkNodesNameToId requires (srcNodeName, dstNodeId)"))
        return;
    uint32_t count = 0;
    if (okOrThrow(unlinkNodesByName(getContext(), argText(info[0]), argUint32(info, 1), count)))
        info.GetReturnValue().Set(count);
}

// graphLink(outputPortId, inputPortId, token, linger?): linkPorts whose
// outcome reaches the Graph under `token` instead of standard error; with
// `linger` true the link outlives the Graph and the process, as pw-link's.
NAN_METHOD(graphLink) {
    if (!checkArgs(info, {ArgKind::Number, ArgKind::Number, ArgKind::Number}, kLinkPortsUsage)) return;
    bool given = info.Length() >= 4 && !info[3]->IsUndefined();
    if (given && !info[3]->IsBoolean()) return Nan::ThrowTypeError("graphLink: linger must be a boolean");
    bool linger = given && info[3]->IsTrue();
    okOrThrow(linkPortsById(getContext(), argUint32(info, 0), argUint32(info, 1), argUint32(info, 2), linger));
}

// graphAbandonLink(token): the Graph stopped waiting for link request
// `token`; the link goes when it comes.
NAN_METHOD(graphAbandonLink) {
    if (!checkArgs(info, {ArgKind::Number}, "graphAbandonLink requires (token)")) return;
    abandonGraphLink(getContext(), argUint32(info, 0));
}

// graphUnlink(linkId, serial?): queues the removal of a link of the mirror,
// once. The serial of the link being removed (a number; 0 when the daemon
// announced none) when "link-destroyed" will follow, with that serial; "gone"
// when there is no such link (any more: with `serial`, an id that names
// another object now); "not-a-link" when the id names a node or a port.
NAN_METHOD(graphUnlink) {
    if (!checkArgs(info, {ArgKind::Number}, "unlink requires a link ID")) return;
    uint64_t serial = 0;
    bool withSerial = info.Length() >= 2 && !info[1]->IsUndefined();
    if (withSerial) {
        double value = info[1]->IsNumber() ? Nan::To<double>(info[1]).FromJust() : -1;
        if (!(value >= 0 && value <= 9007199254740991.0 && value == static_cast<double>(uint64_t(value))))
            return Nan::ThrowTypeError("unlink: a link's serial must be a whole number");
        serial = uint64_t(value);
    }
    UnlinkOutcome outcome;
    uint64_t removing = 0;
    if (!okOrThrow(unlinkById(getContext(), argUint32(info, 0), withSerial ? &serial : nullptr, outcome, removing)))
        return;
    if (outcome == UnlinkOutcome::Removing) return info.GetReturnValue().Set(Nan::New<v8::Number>(double(removing)));
    info.GetReturnValue().Set(Nan::New(outcome == UnlinkOutcome::Gone ? "gone" : "not-a-link").ToLocalChecked());
}
