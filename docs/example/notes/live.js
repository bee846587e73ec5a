// The browser side of "live": one WebSocket to the server; each message names
// its application with "ctrl". The first message also carries the members
// that start the application.
(function () {
  "use strict";
  var ws = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/");
  var started = false;
  function send(bdata) {
    var message = { ctrl: "live", bdata: bdata };
    if (!started) {
      message.token = "";
      message.typeappobj = "";
      message.evt = "";
      message.evtp = "";
      started = true;
    }
    ws.send(JSON.stringify(message));
  }
  ws.onopen = function () { send({}); };
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
    send({ author: author, text: document.getElementById("live-text").value });
  };
})();
