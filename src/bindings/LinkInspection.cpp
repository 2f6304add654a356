// getLinkFormat / getLinkStats / getLinkState: what the module holds about
// one link. No connection needed; texts are copied under the graph lock and
// become JavaScript strings after it is released.
#include "../connection/PwContext.h"
#include "../features/links/LinkProxies.h"
#include "ArgCheck.h"
#include "Exports.h"
#include "JsValues.h"

NAN_METHOD(getLinkFormat) {
    if (!checkArgs(info, {ArgKind::Number}, "getLinkFormat requires a link ID")) return;
    uint32_t linkId = argUint32(info, 0);
    PwContext* ctx = getContext();
    v8::Local<v8::Object> result = Nan::New<v8::Object>();
    js::set(result, js::kLinkId, js::num(linkId));
    std::string format = "unknown";
    {
        LockGuard lock(ctx->mutex);
        if (const std::string* known = linkFormatLocked(ctx, linkId)) format = *known;
    }
    js::set(result, js::kFormat, js::str(format));
    info.GetReturnValue().Set(result);
}

// A client of the daemon sees no byte, drop or rate counters of a link (they
// live in the daemon's data thread): they read 0, as they always have.
NAN_METHOD(getLinkStats) {
    if (!checkArgs(info, {ArgKind::Number}, "getLinkStats requires a link ID")) return;
    v8::Local<v8::Object> result = Nan::New<v8::Object>();
    js::set(result, js::kLinkId, js::num(argUint32(info, 0)));
    js::set(result, js::kBytes, js::num(0));
    js::set(result, js::kDrops, js::num(0));
    js::set(result, js::kRate, js::num(0));
    info.GetReturnValue().Set(result);
}

NAN_METHOD(getLinkState) {
    if (!checkArgs(info, {ArgKind::Number}, "getLinkState requires a link ID")) return;
    uint32_t linkId = argUint32(info, 0);
    PwContext* ctx = getContext();
    std::string srcName, sinkName;
    {
        LockGuard lock(ctx->mutex);
        const LinkInfo* link = nullptr;
        for (const LinkInfo& l : ctx->links) {
            if (l.id == linkId) {
                link = &l;
                break;
            }
        }
        if (!link) return;  // undefined: the link is not in the mirror
        for (const NodeInfo& node : ctx->nodes) {
            if (node.id == link->srcNodeId) srcName = node.name;
            if (node.id == link->sinkNodeId) sinkName = node.name;
        }
    }
    v8::Local<v8::Object> result = Nan::New<v8::Object>();
    js::set(result, js::kLinkId, js::num(linkId));
    js::set(result, js::kState, Nan::New("active").ToLocalChecked());
    js::set(result, js::kSrcNode, js::str(srcName));
    js::set(result, js::kSinkNode, js::str(sinkName));
    info.GetReturnValue().Set(result);
}
