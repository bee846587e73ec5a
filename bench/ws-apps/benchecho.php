<?php
// Benchmark application "benchecho": answers each message's "bdata.text"
// as one item. Also runnable directly (its stdin protocol unchanged).

require_once __DIR__ . '/../lib/vexaws.php';

return function (VexaRequest $req, VexaReply $reply): void {
    $app = new VexaWsApp($req);
    $answer = function (array $message) use ($app): bool {
        $app->send(VexaWsApp::web(['t' => (string) ($message['bdata']['text'] ?? '')]));
        return true;
    };
    if ($app->first) {
        $answer($app->first);
    }
    $app->run($answer);
};
