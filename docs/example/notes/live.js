// The browser side of "live": one WebSocket to the server; each message names
// its application with "ctrl".
(function () {
  "use strict";
  var ws = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/");
  // A start message carries the members that start "live". One goes before
  // every note: once "live" has ended, the server drops a message without
  // them. It carries no note, so no process that may lose the race to serve
  // "live" has a note to store.
  function start() {
    ws.send(JSON.stringify({ ctrl: "live", bdata: {}, token: "", typeappobj: "", evt: "", evtp: "" }));
  }
  function send(bdata) {
    ws.send(JSON.stringify({ ctrl: "live", bdata: bdata }));
  }
  ws.onopen = start;
  ws.onmessage = function (event) {
    // "sendall" texts arrive as sent; reply items end with ",".
    var data = JSON.parse(String(event.data).replace(/,$/, ""));
    if (data.note) {
      var li = document.createElement("li");
      li.textContent = (data.note.author || "someone") + ": " + data.note.text;
      document.getElementById("notes").appendChild(li);
    } else if (data.online) {
      document.getElementById("online").textContent = String(data.online);
    } else if (data.saved) {
      document.getElementById("said").textContent = "Note " + data.saved + " saved.";
    }
  };
  document.getElementById("live-send").onclick = function () {
    var author = document.querySelector("input[name=author]").value;
    start();
    send({ author: author, text: document.getElementById("live-text").value });
  };
})();
