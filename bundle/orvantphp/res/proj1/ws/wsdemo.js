// The start page's WebSocket demo: one connection, two applications.
// Messages name their application with "ctrl"; the first one for an
// application also carries the start members (token, typeappobj, evt, evtp).
(function () {
  "use strict";
  var started = {};
  var ws = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/");
  var $ = function (id) { return document.getElementById(id); };

  function send(ctrl, bdata) {
    var message = { ctrl: ctrl, bdata: bdata };
    if (!started[ctrl]) {
      message.token = "demo";
      message.typeappobj = "page";
      message.evt = "";
      message.evtp = "";
      started[ctrl] = true;
    }
    ws.send(JSON.stringify(message));
  }

  function logChat(text) {
    var li = document.createElement("li");
    li.textContent = text;
    $("ws-chat-log").appendChild(li);
  }

  // Replies of an application are items followed by ","; "sendall" texts
  // arrive as they were sent.
  ws.onmessage = function (event) {
    var text = String(event.data).replace(/,$/, "");
    var data;
    try { data = JSON.parse(text); } catch (e) { return; }
    if (data.response && data.response.data) data = data.response.data;
    if (data.app === "wsecho") {
      $("ws-echo-reply").textContent = data.echo;
      $("ws-echo-count").textContent = String(data.n);
      if (data.echo === "exit") started.wsecho = false;  // that process has ended
    } else if (data.app === "wschat") {
      logChat(data.event ? "connection " + data.from + " " + data.event
                         : data.from + ": " + data.text);
    }
  };
  ws.onopen = function () {
    $("ws-state").textContent = "open";
    send("wsecho", { text: $("ws-echo-text").value });
    send("wschat", {});
  };
  ws.onclose = function () { $("ws-state").textContent = "closed"; };

  $("ws-echo-form").onsubmit = function (e) {
    e.preventDefault();
    send("wsecho", { text: $("ws-echo-text").value });
  };
  $("ws-chat-form").onsubmit = function (e) {
    e.preventDefault();
    send("wschat", { text: $("ws-chat-text").value });
  };
})();
