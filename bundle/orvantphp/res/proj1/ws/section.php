<?php
// The WebSocket section of the start page: the echo and chat applications,
// driven by ws/wsdemo.js in the browser.

declare(strict_types=1);

function vexa_ws_section(): string
{
    return <<<'HTML'
<section id="ws-demo">
<h2>WebSocket applications</h2>
<p>The page keeps one WebSocket open. <code>wsecho</code> runs one PHP process for this
connection; <code>wschat</code> is one process shared by every open page.</p>
<p>Connection: <span id="ws-state">connecting</span></p>
<form id="ws-echo-form"><input id="ws-echo-text" value="hello echo" size="24">
<button>Send to wsecho</button></form>
<p>wsecho answered: <span id="ws-echo-reply">-</span> (messages: <span id="ws-echo-count">0</span>)</p>
<form id="ws-chat-form"><input id="ws-chat-text" value="hello chat" size="24">
<button>Say in wschat</button></form>
<ul id="ws-chat-log"></ul>
</section>
<script src="/ws/wsdemo.js"></script>
HTML;
}
