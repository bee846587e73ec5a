<?php
// A reply in several parts: each send() reaches the browser as it is made,
// while the page is still running.

return function (VexaRequest $req, VexaReply $reply): void {
    $parts = 4;
    $pause = 0.8;  // seconds between parts
    $reply->send("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Streaming</title>"
        . "<link rel=\"stylesheet\" href=\"/style.css\"></head>\n<body><main><h1>Streaming</h1>\n<ol>\n");
    for ($i = 1; $i <= $parts; $i++) {
        usleep((int) ($pause * 1000000));
        $reply->send("<li>part $i of $parts at " . date('H:i:s') . "</li>\n");
    }
    $reply->send("</ol>\n<p>Done.</p><p><a href=\"/\">Back</a></p></main></body></html>\n");
};
