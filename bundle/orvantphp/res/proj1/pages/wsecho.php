<?php
// WebSocket application "wsecho": one process per connection. It answers
// every message with its text, the message count and what it knows of the
// connection. The text "exit" ends the process (the next message starts a
// new one).

require_once __DIR__ . '/../lib/vexaws.php';

return function (VexaRequest $req, VexaReply $reply): void {
    if (!VexaWsApp::isWebSocket($req)) {
        VexaWsApp::notAPage($reply, 'wsecho');
        return;
    }
    $app = new VexaWsApp($req);
    $count = 0;
    $answer = function (array $message, string $raw) use ($app, &$count): bool {
        $count++;
        $bdata = is_array($message['bdata'] ?? null) ? $message['bdata'] : [];
        $text = (string) ($bdata['text'] ?? '');
        $app->send(VexaWsApp::web([
            'app' => 'wsecho', 'n' => $count, 'echo' => $text,
            'conid' => $app->conid(), 'wconn' => $bdata['wconn'] ?? null,
            'wcon' => $bdata['wcon'] ?? null, 'pid' => getmypid(), 'raw' => $raw,
        ]));
        return $text !== 'exit';
    };
    if (!$answer($app->first, '')) {
        return;
    }
    $app->run($answer);
};
