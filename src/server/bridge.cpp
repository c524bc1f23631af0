#include "server/bridge.h"

namespace kx_agent::server {

const std::string_view kBridgePage = R"html(<!doctype html>
<html>
<head>
  <meta http-equiv="X-UA-Compatible" content="IE=edge,chrome=1">
  <title>Tolvane Agent (Smart Card)</title>
  <meta http-equiv="Content-Type" content="text/html; charset=utf-8">
  <script src="bridge.js"></script>
</head>
<body>
  <div id="modal-content" style="margin: 0 auto; width: 200px; text-align: center;">
    <span style="font-size: 200%;">&#x260F;: </span><span id="scard-status"></span>
  </div>
  <p style="text-align: center; font-size: 200%;">Please do not close. This is required by the Tolvane Agent.</p>
</body>
</html>
)html";

// window.__agent_origion, when set, is the one origin whose messages are relayed. An origin is
// accepted when it equals the configured one (case aside), or when the configured one is that
// origin followed by a path: a prefix test would let "https://rdp.example.com.evil.net" in.
const std::string_view kBridgeScript = R"js((function () {
  "use strict";

  var socket = null;
  var socketOpen = false;
  var pending = [];
  var acceptedOrigin = "";
  var indicator = null;

  function showStatus(mark, colour) {
    if (!indicator) return;
    indicator.textContent = mark;
    indicator.style.color = colour;
    indicator.style.fontSize = "500%";
  }

  function originMatches(origin, configured) {
    var actual = String(origin).toLowerCase();
    var expected = String(configured).toLowerCase();
    return actual.length > 0 &&
      (expected === actual || expected.indexOf(actual + "/") === 0);
  }

  function forget() {
    window.removeEventListener("message", receiveMsg);
    if (socket) socket.close();
    socket = null;
    pending = [];
  }

  function receiveMsg(event) {
    if (!acceptedOrigin) {
      if (window.__agent_origion) {
        if (!originMatches(event.origin, window.__agent_origion)) {
          console.log("Expected origin: " + window.__agent_origion +
                      " actual origin: " + event.origin);
          forget();
          return;
        }
      }
      acceptedOrigin = event.origin;
    } else if (event.origin !== acceptedOrigin) {
      return;
    }
    if (!socket) return;
    // A call posted before the socket has opened waits for it instead of being lost.
    if (socketOpen) socket.send(event.data);
    else pending.push(event.data);
  }

  function connectAgent() {
    acceptedOrigin = "";
    indicator = document.getElementById("scard-status");
    socket = new WebSocket("ws://127.0.0.1:8095");
    socket.binaryType = "arraybuffer";
    socket.onopen = function () {
      socketOpen = true;
      showStatus("\u2611", "green");
      while (pending.length > 0 && socket) socket.send(pending.shift());
    };
    socket.onclose = socket.onerror = function () {
      socketOpen = false;
      showStatus("\u2612", "red");
    };
    socket.onmessage = function (event) {
      if (window.opener && acceptedOrigin) window.opener.postMessage(event.data, acceptedOrigin);
    };
  }

  window.addEventListener("load", connectAgent);
  window.addEventListener("message", receiveMsg);
})();
)js";

}  // namespace kx_agent::server
