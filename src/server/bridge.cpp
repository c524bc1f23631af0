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
  <p id="bridge-words" style="text-align: center; font-size: 120%;"></p>
</body>
</html>
)html";

// window.__agent_origion, when the bridge page sets it, is the one origin whose messages are
// relayed. An origin is accepted when it equals the configured one (case aside), or when the
// configured one is that origin followed by a path: a prefix test would let
// "https://rdp.example.com.evil.net" in. Without it, as the agent itself, only a page of this
// computer is accepted (host localhost, 127.0.0.0/8 or [::1], any scheme and port), never the
// opaque "null".
// A message of another origin is ignored, whenever it comes: were it to end the bridge, any page
// able to post to this window could cut the trusted page off. Messages that come before the
// socket is open wait for it, at most MAX_PENDING of them (a page that posts without end must not
// grow this window's memory without end); once the socket has closed nothing will carry them, so
// they are dropped.
//
// The socket is opened only by a bridge that runs as a top-level window opened by a page it
// trusts: a frame of the bridge inside any page, or a window that a foreign page opened, would
// otherwise open a WebSocket that carries the agent's own trusted origin. The opener is known
// to be trusted when it is one of the agent's own pages (same origin), or once it has posted a
// message of an accepted origin itself (event.source is the opener; event.origin is the
// browser's word, which no page can forge). Until then, messages wait as before.
//
// The window says where it stands in words (#bridge-words), as the page's BridgeClient tells its
// page: what cut it off, what it waits for, whether the agent is connected. Nothing of it reaches
// a page of another origin, which cannot read this window.
const std::string_view kBridgeScript = R"js((function () {
  "use strict";

  var MAX_PENDING = 256;
  var socket = null;
  var socketOpen = false;
  var socketClosed = false;
  var pending = [];
  var acceptedOrigin = "";
  var indicator = null;
  var loaded = false;
  var openerTrusted = false;

  var framed = (function () {
    try {
      return window.top !== window.self;
    } catch (e) {
      return true;  // a top of another origin that cannot even be compared: framed
    }
  })();

  function openerIsOwnPage() {
    try {
      return !!window.opener && window.opener.location.origin === window.location.origin;
    } catch (e) {
      return false;  // another origin: its own message has to tell
    }
  }

  var WORDS = {
    framed: "This bridge does not run inside another page.",
    alone: "No page can reach this window. Open it from your remote-desktop page, with a " +
           "click. A page that isolates itself (Cross-Origin-Opener-Policy: same-origin) cuts " +
           "this window off: such a page connects to the agent directly instead. You may close " +
           "this window.",
    waiting: "Waiting for the page that opened this window.",
    foreign: "The page that opened this window is not one the agent trusts: nothing it sends " +
             "is passed on. Open the bridge from your remote-desktop page.",
    connected: "Connected: your remote-desktop page can use your smart cards.",
    ended: "The connection to the agent has ended: the agent stopped, or refused the " +
           "connection. Open the bridge again from your remote-desktop page."
  };

  function say(what) {
    var words = document.getElementById("bridge-words");
    if (words) words.textContent = WORDS[what];
  }

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

  var LOCAL_HOST = "(localhost|\\[::1\\]|127(\\.(25[0-5]|2[0-4][0-9]|1?[0-9]?[0-9])){3})";
  var LOCAL_ORIGIN = new RegExp("^[a-z][a-z0-9+.-]*://" + LOCAL_HOST + "(:[0-9]{1,5})?$", "i");

  function isLocalOrigin(origin) {
    return LOCAL_ORIGIN.test(String(origin));
  }

  function receiveMsg(event) {
    if (!acceptedOrigin) {
      var configured = window.__agent_origion;
      if (configured ? !originMatches(event.origin, configured) : !isLocalOrigin(event.origin)) {
        console.log("Expected origin: " + (configured || "a page of this computer") +
                    " actual origin: " + event.origin);
        if (loaded && !socket && !socketClosed && event.source === window.opener) say("foreign");
        return;
      }
      acceptedOrigin = event.origin;
    } else if (event.origin !== acceptedOrigin) {
      return;
    }
    if (!openerTrusted && !framed && window.opener && event.source === window.opener) {
      openerTrusted = true;
      connectAgent();
    }
    if (socketClosed) return;
    if (socketOpen) socket.send(event.data);
    else if (pending.length < MAX_PENDING) pending.push(event.data);
  }

  function onLoad() {
    loaded = true;
    indicator = document.getElementById("scard-status");
    if (framed || !window.opener) {
      console.log(framed ? "The bridge does not run inside a frame."
                         : "The bridge runs only in a window that a page opened.");
      socketClosed = true;
      pending = [];
      showStatus("\u2612", "red");
      say(framed ? "framed" : "alone");
      return;
    }
    if (openerIsOwnPage()) openerTrusted = true;
    say("waiting");
    connectAgent();
  }

  // Once the page has loaded and its opener is trusted, whichever comes last.
  function connectAgent() {
    if (!loaded || !openerTrusted || socket || socketClosed) return;
    socket = new WebSocket("ws://127.0.0.1:8095");
    socket.binaryType = "arraybuffer";
    socket.onopen = function () {
      socketOpen = true;
      showStatus("\u2611", "green");
      say("connected");
      while (pending.length > 0) socket.send(pending.shift());
    };
    socket.onclose = socket.onerror = function () {
      socketOpen = false;
      socketClosed = true;
      pending = [];
      showStatus("\u2612", "red");
      say("ended");
    };
    socket.onmessage = function (event) {
      if (window.opener && acceptedOrigin) window.opener.postMessage(event.data, acceptedOrigin);
    };
  }

  window.addEventListener("load", onLoad);
  window.addEventListener("message", receiveMsg);
})();
)js";

}  // namespace kx_agent::server
