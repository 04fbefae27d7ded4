// The setup calls whose shape differs between releases of the CTP trader API, and the check that the library
// loaded is the one the bridge was built with. Needs only ThostFtdcTraderApi.h.
#pragma once

#include "ThostFtdcTraderApi.h"

namespace kestro {

// CreateFtdcTraderApi(path, true) where the declaration takes the production-mode flag, else the path alone.
template <class Api = CThostFtdcTraderApi>
Api* create_trader_api(const char* path) {
    if constexpr (requires { Api::CreateFtdcTraderApi(path, true); })
        return Api::CreateFtdcTraderApi(path, true);
    else
        return Api::CreateFtdcTraderApi(path);
}

// The private topic from the quick resume point: SubscribePrivateTopic(THOST_TERT_QUICK, 1) where the declaration
// takes the sequence number, else the resume type alone.
template <class Api>
void subscribe_private_quick(Api* api) {
    if constexpr (requires { api->SubscribePrivateTopic(THOST_TERT_QUICK, 1); })
        api->SubscribePrivateTopic(THOST_TERT_QUICK, 1);
    else
        api->SubscribePrivateTopic(THOST_TERT_QUICK);
}

// GetApiVersion() of the library the bridge was linked with, recorded when it was built.
extern const char BUILT_API_VERSION[];

// Compares the loaded library's GetApiVersion() with BUILT_API_VERSION: 0 when they match, else -1 with an
// ImportError set. Headers of one release over the library of another call the wrong virtual slots.
int check_api_version();

}  // namespace kestro
